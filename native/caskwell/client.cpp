// Caskwell: construction, the shared HTTP session, name and URL normalisation, the
// package-index settings and the API pattern of an index.
#include "caskwell/caskwell.hpp"

namespace caskwell {

namespace {

using pyco::arg;
using pyco::Check;

py::object caskwell_init(py::object self, py::object settings_manager) {
    self.attr("settings_manager") = settings_manager;
    self.attr("_session") = py::none();
    self.attr("_metadata_cache") = py::dict();
    self.attr("_distributions_cache") = py::none();
    return py::none();
}

// Never suspends: the session is made on the caller's loop without awaiting anything.
Task get_session(py::object self) {
    py::object aiohttp = g("aiohttp");
    if (aiohttp.is_none()) {
        PyErr_SetString(PyExc_RuntimeError, "aiohttp not installed, cannot query package indexes");
        throw py::error_already_set();
    }
    py::object session = self.attr("_session");
    if (session.is_none() || truthy(session.attr("closed"))) {
        self.attr("_session") = aiohttp.attr("ClientSession")();
    }
    co_return self.attr("_session");
}

Task close(py::object self) {
    py::object session = self.attr("_session");
    if (truthy(session) && !truthy(session.attr("closed"))) {
        co_await pyco::await(session.attr("close")());
    }
    co_return py::none();
}

py::object normalize_name_method(py::object self, py::object name) { return normalize_name(name); }

py::object normalize_url_method(py::object self, py::object url) { return normalize_url(url); }

py::object get_pip_settings(py::object self) { return g("get_pip_settings")(self.attr("settings_manager")); }

py::object get_pip_api_list(py::object self) { return g("get_pip_api_list")(self.attr("settings_manager")); }

py::object get_api_pattern_for_index(py::object self, py::object index_url) {
    py::object pip_api_list = self.attr("_get_pip_api_list")();
    py::object normalize = self.attr("_normalize_url");
    py::object normalized_index = normalize(index_url);
    for (py::handle entry : pip_api_list) {
        py::object entry_url = normalize(get_or(entry, S("index_url"), S("")));
        int same = PyObject_RichCompareBool(entry_url.ptr(), normalized_index.ptr(), Py_EQ);
        if (same < 0) throw py::error_already_set();
        if (same) return get_or_none(entry, S("api_pattern"));
    }
    return py::none();
}

}  // namespace

void client_methods(Methods& out) {
    py::object str = builtin("str");
    out.push_back(pyco::fn<caskwell_init>("__init__", {"self", "settings_manager"}));
    out.push_back(pyco::fn<get_session>("_get_session", {"self"},
                                        "The shared aiohttp session, made on first use and again after it was closed."));
    out.push_back(pyco::fn<close>("close", {"self"}, "Close the HTTP session; a later query opens a new one."));
    out.push_back(pyco::fn<normalize_name_method>("_normalize_name", {"self", arg("name").type(Check::Str)},
                                                  "The name lower-cased, every run of '-', '_' and '.' made one '-'.")
                      .annotated(annotations({{"return", str}})));
    out.push_back(pyco::fn<get_pip_settings>("_get_pip_settings", {"self"}, "The package-index settings, read afresh.")
                      .annotated(annotations({{"return", dict_of(str, g("Any"))}})));
    out.push_back(pyco::fn<get_pip_api_list>("_get_pip_api_list", {"self"}, "The JSON API patterns, read afresh.")
                      .annotated(annotations({{"return", list_of(dict_of(str, str))}})));
    out.push_back(pyco::fn<normalize_url_method>("_normalize_url", {"self", arg("url").type(Check::Str)},
                                                 "The URL without its trailing slashes and backslashes.")
                      .annotated(annotations({{"return", str}})));
    out.push_back(pyco::fn<get_api_pattern_for_index>("_get_api_pattern_for_index",
                                                      {"self", arg("index_url").type(Check::Str)},
                                                      "The API pattern of the first entry configured for the index.")
                      .annotated(annotations({{"return", optional_of(str)}})));
}

}  // namespace caskwell
