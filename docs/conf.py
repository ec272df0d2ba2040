"""Sphinx configuration of Vorl's documentation. Build: sphinx-build -W -b html docs build/docs"""
import tempfile

import vorl

project = "Vorl"
author = "The Vorl developers"
copyright = "2026, The Vorl developers"
release = version = vorl.__version__

extensions = [
    "sphinx.ext.autodoc",
    "numpydoc",  # numpydoc docstrings, checked by numpydoc's own validator
    "sphinx.ext.mathjax",
    "sphinxarg.ext",  # the command's pages, from its argparse parser
    "matplotlib.sphinxext.plot_directive",  # figures made when the docs build
    "sphinx_gallery.gen_gallery",  # examples/: scripts whose pictures make the gallery
]
sphinx_gallery_conf = {
    "examples_dirs": "../examples",
    "gallery_dirs": "gallery",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
}
# `name` in the pages is a link to the API where it names something documented.
default_role = "py:obj"
# Types are named in each docstring's Parameters section; in signatures NumPy's
# ArrayLike would unfold into a union of its private parts.
autodoc_typehints = "none"
# Quotes and ellipses, but no dashes: "--scheduler" keeps its two hyphens.
smartquotes_action = "qe"
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "special-members": "__call__"}
numpydoc_show_class_members = False  # autodoc lists the members
numpydoc_xref_param_type = False
# Every documented function and class: no undocumented, unknown or misspelt
# parameter, every parameter described, a Returns section where something is
# returned. A failed check is a warning, and the build treats warnings as errors.
numpydoc_validation_checks = {"GL08", "PR01", "PR02", "PR03", "PR07", "RT01"}
numpydoc_validation_exclude = {r"\.__init__$", r"\.__call__$", r"\.__repr__$"}

plot_include_source = True
plot_working_directory = tempfile.mkdtemp(prefix="vorl-docs-")  # files the examples write
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 90)]
plot_rcparams = {"figure.figsize": (8, 3.6)}

html_theme = "alabaster"
html_theme_options = {"description": "Exact recursive gammatone filterbank features",
                      "fixed_sidebar": True}
html_static_path = ["_static"]
html_css_files = ["vorl.css"]
exclude_patterns = ["_build"]
