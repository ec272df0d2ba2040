#include "bindings.hpp"

#include <vorl/extractor/extractor.hpp>

#include <fmt/format.h>
#include <pybind11/eigen.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace py = pybind11;
using Extractor = vorl::extractor::Extractor<double>;

/** Supplies `compute` from a Python subclass of `Extractor`. */
class PyExtractor : public Extractor {
public:
    using Extractor::Extractor;

    /**
     * Calls the subclass's `compute(input, output)` with two new lists and copies
     * the output list back. The list must keep its length and hold numbers only;
     * otherwise `output` is left as it was and ValueError or TypeError is raised.
     */
    void compute(const Frame& input, Features& output) const override {
        py::gil_scoped_acquire gil;
        py::function override = py::get_override(static_cast<const Extractor*>(this), "compute");
        if (!override) {
            py::pybind11_fail("Tried to call pure virtual function \"Extractor::compute\"");
        }
        const py::object frame = py::cast(input);
        const py::list result = py::cast(output);
        PyObject* returned = vorl_python::call_python([&] {
            return PyObject_CallFunctionObjArgs(override.ptr(), frame.ptr(), result.ptr(), nullptr);
        });
        if (returned == nullptr) {
            throw py::error_already_set();
        }
        Py_DECREF(returned);
        output = numbers_of(result, output.size());
    }

private:
    static Features numbers_of(const py::list& list, std::size_t length) {
        if (list.size() != length) {
            throw py::value_error(fmt::format(
                "compute() must leave output at length {}; it changed it to length {}.", length,
                list.size()));
        }
        Features values(length);
        for (std::size_t i = 0; i < length; ++i) {
            py::detail::make_caster<double> number;
            if (!number.load(list[i], true)) {
                throw py::type_error(fmt::format("compute() stored a non-number in output[{}]: {}",
                                                 i, py::repr(list[i]).cast<std::string>()));
            }
            values[i] = py::detail::cast_op<double>(number);
        }
        return values;
    }
};

void bind_extractor(py::module_& m) {
    using Frame = Extractor::Frame;
    using Features = Extractor::Features;

    py::class_<Extractor, PyExtractor> extractor(m, "Extractor", vorl_python::watch_transform());
    extractor
        .def(py::init<std::size_t, std::size_t, std::int32_t, Extractor::Transform, std::int32_t>(),
             py::arg("num_samples") = 1024, py::arg("num_features") = 64,
             py::arg("sample_rate") = 44100,
             py::arg("transform") = py::cpp_function([](double x) { return x; }),
             py::arg("on_channel") = -1)
        // The list form is tried first; neither form converts its argument.
        .def("__call__",
             static_cast<Features (Extractor::*)(const Frame&) const>(&Extractor::operator()),
             py::arg("input").noconvert(), py::return_value_policy::move)
        .def("__call__",
             static_cast<Features (Extractor::*)(Extractor::MatrixView) const>(
                 &Extractor::operator()),
             py::arg("input").noconvert(), py::return_value_policy::move)
        .def_readonly("num_samples", &Extractor::num_samples)
        .def_readonly("num_features", &Extractor::num_features)
        .def_readonly("sample_rate", &Extractor::sample_rate)
        .def_readonly("transform", &Extractor::transform)
        .def_readonly("on_channel", &Extractor::on_channel);
    vorl_python::refuse_foreign_init(extractor);
}
