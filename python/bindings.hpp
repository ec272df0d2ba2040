#pragma once

// Shared by every file of the module `_vorl`, and included before anything
// else there: the conversions at the boundary that the module replaces, so
// that misuse from Python gives an exception, never a crash or a leak.
//
//   - Arguments of the module's classes are refused (TypeError) when their
//     instance was made by __new__ and never initialised: the binding library
//     would otherwise hand the method raw memory.
//   - A list of floats that cannot be allocated raises MemoryError.
//   - A transform held as a Python callable is visible to the garbage
//     collector (see `watch_transform`) and survives interpreter shutdown.

#include "interpreter.hpp"

#include <vorl/extractor/gammatone_filterbank.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vorl_python {

namespace py = pybind11;

/**
 * A Python callable stored as a transform: each call takes the interpreter
 * lock, calls it with a float and converts the result as the binding library
 * does (float, int, or an object with __float__ or __index__).
 */
class PythonTransform {
public:
    explicit PythonTransform(py::object f) : f_(f.release().ptr()) {}
    PythonTransform(const PythonTransform& other) {
        py::gil_scoped_acquire gil;
        f_ = other.f_;
        Py_XINCREF(f_);
    }
    PythonTransform& operator=(const PythonTransform&) = delete;
    ~PythonTransform() {
        if (f_ != nullptr) {
            py::gil_scoped_acquire gil;
            Py_CLEAR(f_);
        }
    }

    double operator()(double x) const {
        py::gil_scoped_acquire gil;
        if (f_ == nullptr) {
            throw std::runtime_error("the transform was released by the garbage collector");
        }
        const py::object arg = py::reinterpret_steal<py::object>(PyFloat_FromDouble(x));
        if (!arg) throw py::error_already_set();
        const py::object f = py::reinterpret_borrow<py::object>(f_);
        PyObject* result = call_python([&] { return PyObject_CallOneArg(f.ptr(), arg.ptr()); });
        if (result == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(result).cast<double>();
    }

    /** The callable, for the garbage collector's traversal; null once cleared. */
    PyObject* callable() const { return f_; }
    /** Drops the callable (the garbage collector breaking a cycle); the interpreter lock is held. */
    void clear() const { Py_CLEAR(f_); }

private:
    mutable PyObject* f_;
};

/**
 * Makes the Python type of an extractor collectable when its transform refers
 * back to the instance (a bound method of a subclass, say): the transform's
 * callable is reported to the garbage collector and dropped when the cycle is
 * broken. Python subclasses and GammatoneFilterbank inherit both slots.
 */
py::custom_type_setup watch_transform();

/**
 * Replaces `__init__` of `cls` by a checked wrapper (same docstring) that
 * refuses, with TypeError, an instance whose native part belongs to a derived
 * class (`Extractor.__init__(GammatoneFilterbank())`); the binding library
 * would end the process on it.
 */
void refuse_foreign_init(py::handle cls);

/** Throws TypeError if `src` is an instance of `type` that was never initialised. */
void require_initialised(py::handle src, py::handle type);

}  // namespace vorl_python

namespace pybind11 {
namespace detail {

/** The module's classes, with the check of `require_initialised` before every use. */
template <typename T>
struct initialised_caster : type_caster_base<T> {
    bool load(handle src, bool convert) {
        vorl_python::require_initialised(src, type::handle_of<T>());
        return type_caster_base<T>::load(src, convert);
    }
};

template <>
struct type_caster<vorl::extractor::Extractor<double>>
    : initialised_caster<vorl::extractor::Extractor<double>> {};
template <>
struct type_caster<vorl::extractor::GammatoneFilterbank<double>>
    : initialised_caster<vorl::extractor::GammatoneFilterbank<double>> {};
template <>
struct type_caster<vorl::extractor::GammatoneFilterbank<double>::Filter>
    : initialised_caster<vorl::extractor::GammatoneFilterbank<double>::Filter> {};

/** Frames and features: loaded as a list of floats; cast with MemoryError when allocation fails. */
template <>
struct type_caster<std::vector<double>> : list_caster<std::vector<double>, double> {
    template <typename V>
    static handle cast(V&& values, return_value_policy, handle) {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
        if (list == nullptr) throw error_already_set();
        for (std::size_t i = 0; i < values.size(); ++i) {
            PyObject* item = PyFloat_FromDouble(values[i]);
            if (item == nullptr) {
                Py_DECREF(list);
                throw error_already_set();
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
        }
        return list;
    }
};

/**
 * Transforms. None leaves the function empty; a callable that wraps a native
 * double(double) function pointer stores that pointer (no interpreter call per
 * feature); any other callable is stored as a `PythonTransform`. Read back, a
 * pointer becomes a new native callable marked as such, anything else a
 * callable owning a copy of the function.
 */
template <>
struct type_caster<std::function<double(double)>> {
    using function_type = double (*)(double);

    bool load(handle src, bool convert) {
        if (src.is_none()) {
            return convert;  // None defers to other overloads unless converting
        }
        if (!isinstance<function>(src)) {
            return false;
        }
        auto func = reinterpret_borrow<function>(src);
        if (function_type native = native_pointer(func)) {
            value = native;
        } else {
            value = vorl_python::PythonTransform(std::move(func));
        }
        return true;
    }

    template <typename Func>
    static handle cast(Func&& f, return_value_policy policy, handle) {
        if (!f) {
            return none().release();
        }
        if (const function_type* native = f.template target<function_type>()) {
            return cpp_function(*native, policy).release();
        }
        return cpp_function(std::forward<Func>(f), policy).release();
    }

    PYBIND11_TYPE_CASTER(std::function<double(double)>,
                         const_name("Callable[[float], float]"));

private:
    /** The function pointer behind a binding-library function made from one, or null. */
    static function_type native_pointer(const function& func) {
        handle cfunc = func.cpp_function();
        if (!cfunc) {
            return nullptr;
        }
        PyObject* self = PyCFunction_GET_SELF(cfunc.ptr());
        if (self == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        if (!isinstance<capsule>(self)) {
            return nullptr;
        }
        auto c = reinterpret_borrow<capsule>(self);
        if (!is_function_record_capsule(c)) {
            return nullptr;
        }
        for (auto* rec = c.get_pointer<function_record>(); rec != nullptr; rec = rec->next) {
            if (rec->is_stateless &&
                same_type(typeid(function_type),
                          *reinterpret_cast<const std::type_info*>(rec->data[1]))) {
                struct capture {
                    function_type f;
                };
                return reinterpret_cast<capture*>(&rec->data)->f;
            }
        }
        return nullptr;
    }
};

}  // namespace detail
}  // namespace pybind11

// Registration of the classes of the submodule `extractor`, called in this order.
void bind_extractor(pybind11::module_& m);
void bind_gammatone_filterbank(pybind11::module_& m);
