// Version listing: get_versions over the configured indexes, the versions of one index
// from its JSON API document or from the package finder, and the newest-first ordering.
#include "caskwell/caskwell.hpp"

namespace caskwell {

py::list order_by_version(py::handle strings, py::handle version_class, py::handle skip) {
    py::list pairs;
    for (py::handle s : strings) {
        PyObject* parsed = PyObject_CallOneArg(version_class.ptr(), s.ptr());
        if (!parsed) {
            if (!PyErr_ExceptionMatches(skip.ptr())) throw py::error_already_set();
            PyErr_Clear();
            continue;
        }
        pairs.append(py::make_tuple(py::reinterpret_steal<py::object>(parsed), s));
    }
    // list.sort compares only the parsed versions and keeps equal ones (1.0 and 1.0.0)
    // in their original order; it also stays sound if a version class orders
    // inconsistently.
    py::object first = py::module_::import("operator").attr("itemgetter")(0);
    pairs.attr("sort")(py::arg("key") = first, py::arg("reverse") = true);
    py::list ordered;
    for (py::handle pair : pairs) ordered.append(PyTuple_GET_ITEM(pair.ptr(), 1));
    return ordered;
}

py::list order_plainly(py::handle strings) {
    PyObject* list = PySequence_List(strings.ptr());
    if (!list) throw py::error_already_set();
    py::list ordered = py::reinterpret_steal<py::list>(list);
    ordered.attr("sort")(py::arg("reverse") = true);
    return ordered;
}

namespace {

using pyco::arg;
using pyco::Check;

// _get_versions_from_index: the versions of the package's document, newest first, or the
// finder's; an empty list on any failure.
struct VersionsQuery final : DocumentQuery {
    constexpr VersionsQuery() : DocumentQuery(ApiUrl::WithoutVersion) {}

    py::object answer(const Request& r, py::object data) const override {
        py::object releases = get_or(data, S("releases"), py::dict());
        PyObject* keys = PySequence_List(releases.attr("keys")().ptr());
        if (!keys) throw py::error_already_set();
        py::list versions = py::reinterpret_steal<py::list>(keys);
        if (truthy(g("PACKAGING_AVAILABLE"))) {
            versions = order_by_version(versions, g("Version"), PyExc_Exception);
        } else {
            versions = order_plainly(versions);
        }
        debug("Found {} versions via API for {}", PyList_GET_SIZE(versions.ptr()), r.package_name);
        return versions;
    }
    py::object empty(const Request&) const override { return py::list(); }
    py::tuple unearth_call(const Request& r) const override {
        return py::make_tuple(r.self.attr("_get_versions_via_unearth"), r.package_name, r.index_url);
    }
    py::object unearth_failed(const Request& r, py::handle e) const override {
        error("Unearth failed for {} at {}: {}", r.package_name, r.index_url, e);
        return empty(r);
    }
};
const VersionsQuery kVersionsQuery;

// get_versions over the configured indexes: the first non-empty list.
struct VersionsSearch final : IndexSearch {
    VersionsSearch()
        : IndexSearch({"Querying primary index for {} versions", "Found {} versions in primary index",
                       "No results in primary, trying {} secondary indexes", kQueryingSecondary,
                       "Found {} versions in secondary index"}) {}
    py::object query(const py::object& self, const py::object& package_name, const py::object&,
                     const py::object& url) const override {
        return self.attr("_get_versions_from_index")(package_name, url);
    }
    py::object nothing_found(const py::object& package_name) const override {
        warning("No versions found for {} in any index", package_name);
        return py::list();
    }
};
const VersionsSearch kVersionsSearch;

Task get_versions(py::object self, py::object package_name, py::object index_url) {
    if (truthy(index_url)) {
        py::object versions = co_await pyco::await(self.attr("_get_versions_from_index")(package_name, index_url));
        co_return versions;
    }
    Task search = search_indexes(self, package_name, py::none(), &kVersionsSearch);
    co_return co_await pyco::await(std::move(search));
}

Task get_versions_from_index(py::object self, py::object package_name, py::object index_url) {
    Task request = document_request(Request{self, package_name, py::none(), index_url}, &kVersionsQuery);
    co_return co_await pyco::await(std::move(request));
}

py::object get_versions_via_unearth(py::object self, py::object package_name, py::object index_url) {
    try {
        py::list versions;
        {
            FinderScope scope(index_url);
            PyObject* found = PySequence_List(scope.finder().attr("find_all_packages")(package_name).ptr());
            if (!found) throw py::error_already_set();
            py::list packages = py::reinterpret_steal<py::list>(found);
            // One entry per version string (the finder lists a version once per file).
            py::set seen;
            for (py::handle package : packages) {
                py::str version = str_of(package.attr("version"));
                if (seen.contains(version)) continue;
                seen.add(version);
                versions.append(version);
            }
        }
        py::object version_class, invalid_version;
        try {
            version_class = import_from("packaging.version", "Version", 0);
            invalid_version = import_from("packaging.version", "InvalidVersion", 0);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ImportError)) throw;
            return order_plainly(versions);
        }
        return order_by_version(versions, version_class, invalid_version);
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        error("Unearth _get_versions failed: {}", e.value());
        return py::list();
    }
}

}  // namespace

void version_methods(Methods& out) {
    py::object str = builtin("str");
    py::object versions = list_of(str);
    out.push_back(pyco::fn<get_versions>("get_versions",
                                         {"self", arg("package_name").type(Check::Str),
                                          arg("index_url").type(Check::Str, true).def_none()},
                                         "The versions of a package, newest first, from the given index or from the "
                                         "first configured index that has any.")
                      .annotated(annotations({{"index_url", optional_of(str)}, {"return", versions}})));
    out.push_back(pyco::fn<get_versions_from_index>("_get_versions_from_index",
                                                    {"self", arg("package_name").type(Check::Str),
                                                     arg("index_url").type(Check::Str)},
                                                    "The versions of a package on one index; empty on any failure.")
                      .annotated(annotations({{"return", versions}})));
    out.push_back(pyco::fn<get_versions_via_unearth>("_get_versions_via_unearth",
                                                     {"self", arg("package_name").type(Check::Str),
                                                      arg("index_url").type(Check::Str)},
                                                     "The versions the package finder sees on one index (blocking).")
                      .annotated(annotations({{"return", versions}})));
}

}  // namespace caskwell
