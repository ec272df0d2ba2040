#include "bindings.hpp"

#include <cstdlib>
#include <cstring>
#include <typeinfo>

namespace vorl_python {

using Extractor = vorl::extractor::Extractor<double>;
using GammatoneFilterbank = vorl::extractor::GammatoneFilterbank<double>;
using py::detail::instance;
using py::detail::value_and_holder;
using py::detail::values_and_holders;

void require_initialised(py::handle src, py::handle type) {
    auto* const expected = reinterpret_cast<PyTypeObject*>(type.ptr());
    if (!src || !PyObject_TypeCheck(src.ptr(), expected)) {
        return;  // not ours: the binding library rejects it as usual
    }
    for (const value_and_holder& v_h : values_and_holders(reinterpret_cast<instance*>(src.ptr()))) {
        if (PyType_IsSubtype(v_h.type->type, expected) && !v_h.instance_registered()) {
            const std::string name = Py_TYPE(src.ptr())->tp_name;
            throw py::type_error(name + " object is not initialised: it was made without " + name +
                                 ".__init__ (by __new__ or a copy); create it by calling " +
                                 name + "(...)");
        }
    }
}

void refuse_foreign_init(py::handle cls) {
    const py::object original = cls.attr("__init__");
    const std::string doc = py::str(original.attr("__doc__"));
    const py::detail::type_info* own = py::detail::get_type_info(
        reinterpret_cast<PyTypeObject*>(cls.ptr()));
    auto checked = [original, own](py::handle self, py::args args, py::kwargs kwargs) {
        if (PyObject_TypeCheck(self.ptr(), own->type) &&
            reinterpret_cast<instance*>(self.ptr())->get_value_and_holder(own, false).inst ==
                nullptr) {
            // The instance's native part is that of a derived class, made by its own __init__.
            const auto* native = values_and_holders(reinterpret_cast<instance*>(self.ptr()))
                                     .begin()->type->type;
            throw py::type_error(std::string(own->type->tp_name) +
                                 ".__init__() cannot initialise a " + native->tp_name +
                                 " object; call " + native->tp_name + ".__init__() instead");
        }
        original(self, *args, **kwargs);
    };
    py::options options;
    options.disable_function_signatures();  // the docstring below already holds them
    // The binding library makes every function named __init__ a constructor, whose
    // dispatch looks up the instance's native part before the call: the very step
    // that fails. So this ordinary method is made under another name, then renamed.
    py::cpp_function wrapper(checked, py::name("_checked_init"), py::is_method(cls),
                             py::doc(doc.c_str()));
    auto capsule = py::reinterpret_borrow<py::capsule>(
        PyCFunction_GET_SELF(py::detail::get_function(wrapper).ptr()));
    auto* record = capsule.get_pointer<py::detail::function_record>();
    std::free(record->name);
    record->name = strdup("__init__");
    record->def->ml_name = record->name;
    cls.attr("__init__") = wrapper;
}

namespace {

/** The transform of an initialised extractor instance if it is a Python callable, else null. */
const PythonTransform* python_transform_of(PyObject* self) {
    for (const value_and_holder& v_h : values_and_holders(reinterpret_cast<instance*>(self))) {
        if (!v_h.instance_registered()) {
            continue;
        }
        const Extractor* extractor = nullptr;
        if (*v_h.type->cpptype == typeid(GammatoneFilterbank)) {
            extractor = v_h.value_ptr<GammatoneFilterbank>();
        } else if (*v_h.type->cpptype == typeid(Extractor)) {
            extractor = v_h.value_ptr<Extractor>();
        }
        if (extractor != nullptr) {
            return extractor->transform.target<PythonTransform>();
        }
    }
    return nullptr;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (const PythonTransform* transform = python_transform_of(self)) {
        Py_VISIT(transform->callable());
    }
    return 0;
}

int clear(PyObject* self) {
    if (const PythonTransform* transform = python_transform_of(self)) {
        transform->clear();
    }
    return 0;
}

}  // namespace

py::custom_type_setup watch_transform() {
    return py::custom_type_setup([](PyHeapTypeObject* heap_type) {
        PyTypeObject* type = &heap_type->ht_type;
        type->tp_flags |= Py_TPFLAGS_HAVE_GC;
        type->tp_traverse = traverse;
        type->tp_clear = clear;
    });
}

}  // namespace vorl_python
