// The object keeper (user objects kept by key between calls, with every change announced
// to the Business Layer) and the add-in UI requests. Callable from any thread: messages
// are scheduled on the kernel's loop and not waited for.
#include "kernel/runs/invocation.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;

// Schedules one message on the kernel's loop without waiting for it.
void notify(const py::object& self, py::dict message) {
    py::object coroutine = send(self, message);
    try {
        attr_of("asyncio", "run_coroutine_threadsafe")(coroutine, self.attr(S("_loop")));
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        // Not scheduled (no loop yet): the caller hears of it, the coroutine is dropped quietly.
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject* closed = PyObject_CallMethod(coroutine.ptr(), "close", nullptr);
        Py_XDECREF(closed);
        PyErr_Clear();
        PyErr_Restore(t, v, tb);
        throw;
    }
}

py::object type_name(const py::object& value) { return py::type::of(value).attr(S("__name__")); }

// Values leave the store outside the lock: a __del__ that calls back into the keeper
// must not find the (non-reentrant) lock held.
py::object save_object(py::object self, py::object key, py::object value) {
    if (PyUnicode_GET_LENGTH(key.ptr()) == 0) {
        PyErr_SetString(PyExc_ValueError, "ObjectKeeper key must be a non-empty string");
        throw py::error_already_set();
    }
    py::object replaced;
    {
        Locked lock(self.attr(S("_object_keeper_lock")));
        py::object store = self.attr(S("_object_keeper"));
        replaced = store.attr(S("get"))(key);
        store[key] = value;
    }
    replaced = py::object();
    py::object name = type_name(value);
    notify(self, msg::object_updated(key, name, py::repr(value), self.attr(S("workbook_id"))));
    debug("[Kernel] Saved object: {} (type: {})", key, name);
    return py::none();
}

py::object get_object(py::object self, py::object key) {
    Locked lock(self.attr(S("_object_keeper_lock")));
    return self.attr(S("_object_keeper")).attr(S("get"))(key);
}

py::object clear_object(py::object self, py::object key) {
    py::object removed;
    {
        Locked lock(self.attr(S("_object_keeper_lock")));
        removed = self.attr(S("_object_keeper")).attr(S("pop"))(key, py::none());
    }
    removed = py::object();
    notify(self, msg::object_deleted(key, self.attr(S("workbook_id"))));
    debug("[Kernel] Cleared object: {}", key);
    return py::none();
}

py::object clear_all_objects(py::object self) {
    py::object removed;
    {
        Locked lock(self.attr(S("_object_keeper_lock")));
        py::object store = self.attr(S("_object_keeper"));
        removed = store.attr(S("copy"))();
        store.attr(S("clear"))();
    }
    removed = py::object();
    notify(self, msg::objects_cleared(self.attr(S("workbook_id"))));
    debug("[Kernel] Cleared all objects");
    return py::none();
}

// repr(value), or "<unrepresentable: T>" (T the exception's type) whatever its __repr__ raises.
py::object guarded_repr(const py::object& value) {
    PyObject* text = PyObject_Repr(value.ptr());
    if (text) return py::reinterpret_steal<py::object>(text);
    pyco::SavedError raised;
    raised.fetch();
    return pyco::fmt("<unrepresentable: {}>", reinterpret_cast<PyTypeObject*>(raised.type)->tp_name);
}

// The entries are read under the lock; the type names and reprs (user code, which may
// call back into the keeper) are made after it is released. `guarded`: a repr that raises
// shows as unrepresentable instead of raising.
py::list registry_of(const py::object& self, bool guarded) {
    py::list items;
    {
        Locked lock(self.attr(S("_object_keeper_lock")));
        items = py::list(self.attr(S("_object_keeper")).attr(S("items"))());
    }
    py::list registry;
    for (py::handle item : items) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object value = pair[1];
        registry.append(msg::registry_entry(pair[0], type_name(value), guarded ? guarded_repr(value) : py::repr(value)));
    }
    return registry;
}

py::object get_object_registry(py::object self) { return registry_of(self, false); }

// The registry the peer is sent: get_object_registry(); when that raises (a kept object's
// repr did, whatever it raised), the entries again with such reprs shown as
// unrepresentable, so that one bad object neither hides the registry nor ends the kernel.
py::object registry_for_peer(py::object closure) {
    py::object self = closure;
    try {
        return self.attr(S("get_object_registry"))();
    } catch (py::error_already_set& e) {
        warning("[Kernel] get_object_registry failed ({}); unrepresentable entries are marked",
                py::type::of(e.value()).attr(S("__name__")));
    }
    return registry_of(self, true);
}

// Reprs are user code: they are made on a thread of the loop's default executor, and the
// reply is sent by a task of its own, so a slow or blocking __repr__ holds neither the
// loop nor the reading of later messages.
pyco::Task send_registry(py::handle self) {
    py::object loop = attr_of("asyncio", "get_running_loop")();
    py::object worker = nested_function(pyco::fn<registry_for_peer>("registry_for_peer", {}),
                                        "PythonKernel.handle_message",
                                        py::reinterpret_borrow<py::object>(self));
    py::object registry = co_await pyco::await(loop.attr(S("run_in_executor"))(py::none(), worker));
    co_await pyco::await(send(self, msg::object_registry_response(registry, self.attr(S("workbook_id")))));
    co_return py::none();
}

py::object set_enable_events(py::object self, py::object enable) {
    bool on = pyco::truthy(enable);
    notify(self, msg::set_enable_events(on, self.attr(S("workbook_id"))));
    debug("[Kernel] Set enable_events: {}", py::bool_(on));
    return py::none();
}

py::object show_message_box(py::object self, py::object message, py::object title, py::object type) {
    notify(self, msg::show_message_box(message, title, type, self.attr(S("workbook_id"))));
    debug("[Kernel] Requested message box: title='{}', type='{}'", title, type);
    return py::none();
}

}  // namespace

namespace handlers {

py::object get_object_registry(const py::object& self, const py::object&) {
    debug("[Kernel] Received get_object_registry request");
    return pyco::make_coroutine(send_registry(self));
}

}  // namespace handlers

void add_keeper_methods(pyco::ClassBuilder& cls) {
    py::object any = g("Any");
    cls.method(pyco::fn<save_object>("save_object", {"self", arg("key").type(Check::Str), "value"},
                                     "Keep an object under a key and announce it.")
                   .annotated(annotations({{"value", any}})));
    cls.method(pyco::fn<get_object>("get_object", {"self", arg("key").type(Check::Str)},
                                    "The object kept under a key, or None.")
                   .annotated(annotations({{"return", optional_of(any)}})));
    cls.method(pyco::fn<clear_object>("clear_object", {"self", arg("key").type(Check::Str)},
                                      "Forget the object kept under a key and announce it."));
    cls.method(pyco::fn<clear_all_objects>("clear_all_objects", {"self"}, "Forget every kept object and announce it."));
    cls.method(pyco::fn<get_object_registry>("get_object_registry", {"self"},
                                             "One entry (key, type, repr) per kept object, in the order kept.")
                   .annotated(annotations({{"return", builtin("list")}})));
    cls.method(pyco::fn<set_enable_events>("set_enable_events", {"self", "enable"},
                                           "Ask the add-in to turn spreadsheet event handling on or off.")
                   .annotated(annotations({{"enable", builtin("bool")}})));
    cls.method(pyco::fn<show_message_box>("show_message_box",
                                          {"self", arg("message").type(Check::Str),
                                           arg("title").type(Check::Str).def(S("Vantrel")),
                                           arg("type").type(Check::Str).def(S("Info"))},
                                          "Ask the add-in to show a message box."));
}

}  // namespace kernel
