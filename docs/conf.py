"""Sphinx configuration of Vorl's documentation. Build: sphinx-build -W -b html docs build/docs"""
import vorl

project = "Vorl"
author = "The Vorl developers"
copyright = "2026, The Vorl developers"
release = version = vorl.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",  # numpydoc-style docstrings
    "sphinx.ext.mathjax",
    "matplotlib.sphinxext.plot_directive",  # figures made when the docs build
]
napoleon_numpy_docstring = True
napoleon_google_docstring = False
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "special-members": "__call__"}

plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 90)]
plot_rcparams = {"figure.figsize": (8, 3.6)}

html_theme = "alabaster"
html_theme_options = {"description": "Exact recursive gammatone filterbank features",
                      "fixed_sidebar": True}
exclude_patterns = ["_build"]
