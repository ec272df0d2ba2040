#pragma once

#include <pybind11/pybind11.h>

// Registration of the classes of the submodule `extractor`, called in this order.
void bind_extractor(pybind11::module_& m);
void bind_gammatone_filterbank(pybind11::module_& m);
