// Repository discovery: which configured index carries a package, or a version of it.
#include "caskwell/caskwell.hpp"

namespace caskwell {

namespace {

using pyco::arg;
using pyco::Check;

py::object no(const Request&, Failure, py::handle) { return py::bool_(false); }

py::object unused_document(const Request&, py::object) { return py::bool_(false); }

// Whether the finder lists any file of the package on the index (blocking; run in the
// default executor).
py::object package_exists_via_unearth(py::object package_name, py::object index_url) {
    FinderScope scope(index_url);
    py::object packages = scope.finder().attr("find_all_packages")(package_name);
    PyObject* it = PyObject_GetIter(packages.ptr());
    if (!it) throw py::error_already_set();
    py::object iterator = py::reinterpret_steal<py::object>(it);
    PyObject* first = PyIter_Next(iterator.ptr());
    if (first) {
        Py_DECREF(first);
        return py::bool_(true);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::bool_(false);
}

py::tuple package_exists_call(const Request& r) {
    py::object check = function(pyco::fn<package_exists_via_unearth>(
        "_package_exists_via_unearth", {arg("package_name").type(Check::Str), arg("index_url").type(Check::Str)}));
    return py::make_tuple(check, r.package_name, r.index_url);
}

void package_check_failed(const Request& r, py::handle e) {
    debug("API check failed for {} at {}: {}", r.package_name, r.index_url, e);
}

void package_unearth_failed(const Request& r, py::handle e) {
    debug("Unearth check failed for {} at {}: {}", r.package_name, r.index_url, e);
}

const IndexQuery kPackageExists{
    .versioned_url = false,
    .status_only = true,
    .api_check_failed = package_check_failed,
    .on_data = unused_document,
    .failure = no,
    .log_no_unearth = true,
    .unearth_call = package_exists_call,
    .on_unearth = nullptr,
    .unearth_failed = package_unearth_failed,
};

py::tuple version_exists_call(const Request& r) {
    return py::make_tuple(r.self.attr("_package_version_exists_via_unearth"), r.package_name, r.version, r.index_url);
}

void version_check_failed(const Request& r, py::handle e) {
    debug("API check failed for {}=={} at {}: {}", r.package_name, r.version, r.index_url, e);
}

void silently(const Request&, py::handle) {}

const IndexQuery kVersionExists{
    .versioned_url = true,
    .status_only = true,
    .api_check_failed = version_check_failed,
    .on_data = unused_document,
    .failure = no,
    .log_no_unearth = false,
    .unearth_call = version_exists_call,
    .on_unearth = nullptr,
    .unearth_failed = silently,
};

py::object index_url_found(py::object, const py::object& url) { return url; }
py::object no_index(const py::object&) { return py::none(); }

const Search kPackageSearch{
    .per_index_method = "_package_exists_in_index",
    .with_version = false,
    .test = Test::Truthy,
    .primary = nullptr,
    .primary_found = nullptr,
    .secondaries = nullptr,
    .secondary = nullptr,
    .secondary_found = nullptr,
    .none_level = DEBUG,
    .none = nullptr,
    .found = index_url_found,
    .not_found = no_index,
};

const Search kVersionSearch{
    .per_index_method = "_package_version_exists_in_index",
    .with_version = true,
    .test = Test::Truthy,
    .primary = nullptr,
    .primary_found = nullptr,
    .secondaries = nullptr,
    .secondary = nullptr,
    .secondary_found = nullptr,
    .none_level = DEBUG,
    .none = nullptr,
    .found = index_url_found,
    .not_found = no_index,
};

Task find_repo_for_package(py::object self, py::object package_name) {
    Task search = search_indexes(self, package_name, py::none(), &kPackageSearch);
    co_return co_await pyco::await(std::move(search));
}

Task find_repo_for_package_version(py::object self, py::object package_name, py::object version) {
    Task search = search_indexes(self, package_name, version, &kVersionSearch);
    co_return co_await pyco::await(std::move(search));
}

Task package_exists_in_index(py::object self, py::object package_name, py::object index_url) {
    Task request = index_request(Request{self, package_name, py::none(), index_url}, &kPackageExists);
    co_return co_await pyco::await(std::move(request));
}

Task package_version_exists_in_index(py::object self, py::object package_name, py::object version,
                                     py::object index_url) {
    Task request = index_request(Request{self, package_name, version, index_url}, &kVersionExists);
    co_return co_await pyco::await(std::move(request));
}

py::object package_version_exists_via_unearth(py::object self, py::object package_name, py::object version,
                                              py::object index_url) {
    try {
        FinderScope scope(index_url);
        py::object requirement = concat(concat(package_name, S("==")), version);
        py::object result = scope.finder().attr("find_best_match")(requirement);
        if (result.is_none()) return py::bool_(false);
        return py::bool_(!py::object(result.attr("best")).is_none());
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        return py::bool_(false);
    }
}

}  // namespace

void discovery_methods(Methods& out) {
    py::object str = builtin("str");
    py::object boolean = builtin("bool");
    out.push_back(pyco::fn<find_repo_for_package>("find_repo_for_package",
                                                  {"self", arg("package_name").type(Check::Str)},
                                                  "The first configured index that carries the package, or None.")
                      .annotated(annotations({{"return", optional_of(str)}})));
    out.push_back(pyco::fn<find_repo_for_package_version>(
                      "find_repo_for_package_version",
                      {"self", arg("package_name").type(Check::Str), arg("version").type(Check::Str)},
                      "The first configured index that carries the version of the package, or None.")
                      .annotated(annotations({{"return", optional_of(str)}})));
    out.push_back(pyco::fn<package_exists_in_index>(
                      "_package_exists_in_index",
                      {"self", arg("package_name").type(Check::Str), arg("index_url").type(Check::Str)},
                      "Whether the index carries the package; False on any failure.")
                      .annotated(annotations({{"return", boolean}})));
    out.push_back(pyco::fn<package_version_exists_in_index>(
                      "_package_version_exists_in_index",
                      {"self", arg("package_name").type(Check::Str), arg("version").type(Check::Str),
                       arg("index_url").type(Check::Str)},
                      "Whether the index carries the version of the package; False on any failure.")
                      .annotated(annotations({{"return", boolean}})));
    out.push_back(pyco::fn<package_version_exists_via_unearth>(
                      "_package_version_exists_via_unearth",
                      {"self", arg("package_name").type(Check::Str), arg("version").type(Check::Str),
                       arg("index_url").type(Check::Str)},
                      "Whether the package finder finds the version on the index (blocking).")
                      .annotated(annotations({{"return", boolean}})));
}

}  // namespace caskwell
