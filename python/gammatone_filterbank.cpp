#include "bindings.hpp"

#include <vorl/extractor/gammatone_filterbank.hpp>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace py = pybind11;
using Extractor = vorl::extractor::Extractor<double>;
using GammatoneFilterbank = vorl::extractor::GammatoneFilterbank<double>;
using Filter = GammatoneFilterbank::Filter;

void bind_gammatone_filterbank(py::module_& m) {
    py::class_<GammatoneFilterbank, Extractor> filterbank(m, "GammatoneFilterbank");

    // Known before `filters` is defined, so that its signature names the Python class.
    py::class_<Filter>(filterbank, "Filter")
        .def(py::init<double, double, double, double, std::array<double, 5>>(), py::arg("cf"),
             py::arg("coscf"), py::arg("sincf"), py::arg("gain"), py::arg("a"))
        .def_readonly("cf", &Filter::cf)
        .def_readonly("gain", &Filter::gain)
        .def_readonly("a", &Filter::a);

    // A plain function pointer: stored natively, so no interpreter call per feature.
    const auto log10 = static_cast<double (*)(double)>(&std::log10);
    filterbank
        .def(py::init<std::size_t, std::size_t, std::int32_t, Extractor::Transform, std::int32_t,
                      double, double, double>(),
             py::arg("num_samples") = 1024, py::arg("num_features") = 64,
             py::arg("sample_rate") = 44100, py::arg("transform") = py::cpp_function(log10),
             py::arg("on_channel") = -1, py::arg("low_Hz") = 50, py::arg("high_Hz") = 8000,
             py::arg("temporal_integration") = 0)
        // Each Filter refers to the record inside the filterbank and keeps it alive.
        .def_readonly("filters", &GammatoneFilterbank::filters);
}
