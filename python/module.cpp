#include "bindings.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_vorl, m) {
    m.doc() = R"pbdoc(
        Vorl library 
    )pbdoc";

    py::module_ extractor = m.def_submodule("extractor");
    bind_extractor(extractor);
    bind_gammatone_filterbank(extractor);

    m.attr("__version__") = VORL_VERSION;  // from pyproject.toml, through CMake
}
