// Repository discovery: which configured index carries a package, or a version of it.
#include "caskwell/caskwell.hpp"

namespace caskwell {

namespace {

using pyco::arg;
using pyco::Check;

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

// _package_exists_in_index: whether the package's document exists, or the finder lists
// any file of the package.
struct PackageCheck final : ExistenceCheck {
    constexpr PackageCheck() : ExistenceCheck(ApiUrl::WithoutVersion) {}

    void api_failed(const Request& r, py::handle e) const override {
        debug("API check failed for {} at {}: {}", r.package_name, r.index_url, e);
    }
    void no_pattern(const Request& r) const override { log_no_pattern(r); }
    py::tuple unearth_call(const Request& r) const override {
        py::object check = function(pyco::fn<package_exists_via_unearth>(
            "_package_exists_via_unearth", {arg("package_name").type(Check::Str), arg("index_url").type(Check::Str)}));
        return py::make_tuple(check, r.package_name, r.index_url);
    }
    void unearth_failed(const Request& r, py::handle e) const override {
        debug("Unearth check failed for {} at {}: {}", r.package_name, r.index_url, e);
    }
};
const PackageCheck kPackageCheck;

// _package_version_exists_in_index: whether the version's document exists, or the finder
// finds the version. Only a failed API request is logged.
struct VersionCheck final : ExistenceCheck {
    constexpr VersionCheck() : ExistenceCheck(ApiUrl::WithVersion) {}

    void api_failed(const Request& r, py::handle e) const override {
        debug("API check failed for {}=={} at {}: {}", r.package_name, r.version, r.index_url, e);
    }
    py::tuple unearth_call(const Request& r) const override {
        return py::make_tuple(r.self.attr("_package_version_exists_via_unearth"), r.package_name, r.version,
                              r.index_url);
    }
};
const VersionCheck kVersionCheck;

// find_repo_for_package over the configured indexes: the URL of the first index that
// carries the package, as configured; nothing is logged.
struct PackageSearch final : IndexSearch {
    py::object query(const py::object& self, const py::object& package_name, const py::object&,
                     const py::object& url) const override {
        return self.attr("_package_exists_in_index")(package_name, url);
    }
    py::object answer(py::object, const py::object& url) const override { return url; }
    py::object nothing_found(const py::object&) const override { return py::none(); }
};
const PackageSearch kPackageSearch;

// find_repo_for_package_version: the same for a version of the package.
struct VersionSearch final : IndexSearch {
    py::object query(const py::object& self, const py::object& package_name, const py::object& version,
                     const py::object& url) const override {
        return self.attr("_package_version_exists_in_index")(package_name, version, url);
    }
    py::object answer(py::object, const py::object& url) const override { return url; }
    py::object nothing_found(const py::object&) const override { return py::none(); }
};
const VersionSearch kVersionSearch;

Task find_repo_for_package(py::object self, py::object package_name) {
    Task search = search_indexes(self, package_name, py::none(), &kPackageSearch);
    co_return co_await pyco::await(std::move(search));
}

Task find_repo_for_package_version(py::object self, py::object package_name, py::object version) {
    Task search = search_indexes(self, package_name, version, &kVersionSearch);
    co_return co_await pyco::await(std::move(search));
}

Task package_exists_in_index(py::object self, py::object package_name, py::object index_url) {
    Task request = check_request(Request{self, package_name, py::none(), index_url}, &kPackageCheck);
    co_return co_await pyco::await(std::move(request));
}

Task package_version_exists_in_index(py::object self, py::object package_name, py::object version,
                                     py::object index_url) {
    Task request = check_request(Request{self, package_name, version, index_url}, &kVersionCheck);
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
