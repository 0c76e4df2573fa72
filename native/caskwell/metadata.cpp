// Extras and dependencies of a package version: from the index's JSON API document for
// that version (dependency documents kept in the metadata cache), or from the metadata
// of the finder's best match; and the parser of requirement strings.
#include "caskwell/caskwell.hpp"

namespace caskwell {

namespace {

using pyco::arg;
using pyco::Check;

// info.requires_dist of a version document ([] when absent). Anything but a list where
// it is not empty is a malformed document: TypeError, so that the query fails as a whole
// instead of reading, say, a string character by character.
py::object requires_dist_of(py::handle data) {
    py::object info = get_or(data, S("info"), py::dict());
    py::object requires_dist = get_or(info, S("requires_dist"), py::list());
    if (!PyList_Check(requires_dist.ptr()) && truthy(requires_dist)) {
        PyErr_Format(PyExc_TypeError, "requires_dist must be a list of requirement strings, not %.200s",
                     Py_TYPE(requires_dist.ptr())->tp_name);
        throw py::error_already_set();
    }
    return requires_dist;
}

// --- extras -------------------------------------------------------------------------------

// _get_extras_from_index: the extras the version's requirements are conditional on, from
// its document or the finder's metadata; an empty set on any failure.
struct ExtrasQuery final : DocumentQuery {
    constexpr ExtrasQuery() : DocumentQuery(ApiUrl::WithVersion) {}

    py::object answer(const Request& r, py::object data) const override {
        py::object requires_dist = requires_dist_of(data);
        py::set extras = truthy(requires_dist) ? extras_of(requires_dist) : py::set();
        debug("Found {} extras via API for {}", PySet_GET_SIZE(extras.ptr()), r.package_name);
        return extras;
    }
    py::object empty(const Request&) const override { return py::set(); }
    py::tuple unearth_call(const Request& r) const override {
        return py::make_tuple(r.self.attr("_get_extras_via_unearth"), r.package_name, r.version, r.index_url);
    }
    py::object unearth_failed(const Request& r, py::handle e) const override {
        error("Unearth failed for extras {}=={}: {}", r.package_name, r.version, e);
        return empty(r);
    }
};
const ExtrasQuery kExtrasQuery;

py::object sorted_list(py::handle extras) {
    PyObject* list = PySequence_List(extras.ptr());
    if (!list) throw py::error_already_set();
    if (PyList_Sort(list) < 0) {
        Py_DECREF(list);
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(list);
}

// get_extras over the configured indexes: the first non-empty set, as a sorted list.
struct ExtrasSearch final : IndexSearch {
    ExtrasSearch()
        : IndexSearch({"Querying primary index for extras: {}", "Found {} extras in primary index",
                       "No extras in primary, trying {} secondary indexes", kQueryingSecondary,
                       "Found {} extras in secondary index"}) {}
    py::object query(const py::object& self, const py::object& package_name, const py::object& version,
                     const py::object& url) const override {
        return self.attr("_get_extras_from_index")(package_name, version, url);
    }
    py::object answer(py::object extras, const py::object&) const override { return sorted_list(extras); }
    py::object nothing_found(const py::object& package_name) const override {
        info("No extras found for {} in any index", package_name);
        return py::list();
    }
};
const ExtrasSearch kExtrasSearch;

Task get_extras(py::object self, py::object package_name, py::object version, py::object index_url) {
    if (truthy(index_url)) {
        py::object extras =
            co_await pyco::await(self.attr("_get_extras_from_index")(package_name, version, index_url));
        co_return sorted_list(extras);
    }
    Task search = search_indexes(self, package_name, version, &kExtrasSearch);
    co_return co_await pyco::await(std::move(search));
}

Task get_extras_from_index(py::object self, py::object package_name, py::object version, py::object index_url) {
    Task request = document_request(Request{self, package_name, version, index_url}, &kExtrasQuery);
    co_return co_await pyco::await(std::move(request));
}

// The Requires-Dist entries of the finder's best match for name==version, or None when
// there is no match or no metadata.
py::object requires_dist_via_unearth(const py::object& package_name, const py::object& version,
                                     const py::object& index_url) {
    FinderScope scope(index_url);
    const py::object& finder = scope.finder();
    py::object result = finder.attr("find_best_match")(concat(concat(package_name, S("==")), version));
    if (!truthy(result)) return py::none();
    py::object best = result.attr("best");
    if (!truthy(best)) return py::none();
    py::object link = best.attr("link");
    if (!truthy(link)) return py::none();
    py::object metadata = link_metadata(finder, link, package_name);
    if (!truthy(metadata)) return py::none();
    py::object requires_dist = metadata.attr("get_all")(S("Requires-Dist"));
    return truthy(requires_dist) ? requires_dist : py::list();
}

py::object get_extras_via_unearth(py::object self, py::object package_name, py::object version,
                                  py::object index_url) {
    try {
        py::object requires_dist = requires_dist_via_unearth(package_name, version, index_url);
        if (requires_dist.is_none()) return py::set();
        return extras_of(requires_dist);
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        debug("Unearth get_extras failed: {}", e.value());
        return py::set();
    }
}

// --- dependencies ---------------------------------------------------------------------------

// The records of the requirement strings that parse, by the client's own parser.
py::list parse_all(const py::object& self, py::handle requires_dist) {
    py::list dependencies;
    py::object parse = self.attr("_parse_requirement");
    Py_ssize_t count = 0;
    for (py::handle req : requires_dist) {
        pass_turn(count);
        py::object dependency = parse(req);
        if (truthy(dependency)) dependencies.append(dependency);
    }
    return dependencies;
}

// The dependency records of a version document.
py::object dependencies_of_document(const Request& r, const py::object& data) {
    py::object requires_dist = requires_dist_of(data);
    if (!truthy(requires_dist)) return py::list();
    py::list dependencies = parse_all(r.self, requires_dist);
    debug("Found {} dependencies for {}=={}", PyList_GET_SIZE(dependencies.ptr()), r.package_name, r.version);
    return dependencies;
}

py::object cache_key(const Request& r) {
    PyObject* lowered = PyObject_CallMethodNoArgs(r.package_name.ptr(), pyco::intern("lower"));
    if (!lowered) throw py::error_already_set();
    return py::make_tuple(py::reinterpret_steal<py::object>(lowered), r.version);
}

// _get_dependencies_from_index after a cache miss: the dependency records of the version's
// document (which goes into the metadata cache) or of the finder's metadata; an empty
// list on any failure.
struct DependenciesQuery final : DocumentQuery {
    constexpr DependenciesQuery() : DocumentQuery(ApiUrl::WithVersion) {}

    // A fetched document goes into the cache before it is read, so a document of the
    // wrong shape is cached as it came (and answers the same way next time).
    py::object answer(const Request& r, py::object data) const override {
        r.self.attr("_metadata_cache")[cache_key(r)] = data;
        return dependencies_of_document(r, data);
    }
    py::object empty(const Request&) const override { return py::list(); }
    py::tuple unearth_call(const Request& r) const override {
        return py::make_tuple(r.self.attr("_get_dependencies_via_unearth"), r.package_name, r.version, r.index_url);
    }
    py::object unearth_failed(const Request& r, py::handle e) const override {
        error("Unearth failed for dependencies {}=={}: {}", r.package_name, r.version, e);
        return empty(r);
    }
};
const DependenciesQuery kDependenciesQuery;

// get_dependencies over the configured indexes: the first non-empty list.
struct DependenciesSearch final : IndexSearch {
    DependenciesSearch()
        : IndexSearch({"Querying primary index for dependencies: {}", "Found {} dependencies in primary index",
                       "No dependencies in primary, trying {} secondary indexes", kQueryingSecondary,
                       "Found {} dependencies in secondary index"}) {}
    py::object query(const py::object& self, const py::object& package_name, const py::object& version,
                     const py::object& url) const override {
        return self.attr("_get_dependencies_from_index")(package_name, version, url);
    }
    py::object nothing_found(const py::object& package_name) const override {
        debug("No dependencies found for {} in any index", package_name);
        return py::list();
    }
};
const DependenciesSearch kDependenciesSearch;

Task get_dependencies(py::object self, py::object package_name, py::object version, py::object index_url) {
    if (truthy(index_url)) {
        py::object dependencies =
            co_await pyco::await(self.attr("_get_dependencies_from_index")(package_name, version, index_url));
        co_return dependencies;
    }
    Task search = search_indexes(self, package_name, version, &kDependenciesSearch);
    co_return co_await pyco::await(std::move(search));
}

Task get_dependencies_from_index(py::object self, py::object package_name, py::object version,
                                 py::object index_url) {
    Request r{self, package_name, version, index_url};
    py::object cache = self.attr("_metadata_cache");
    py::object key = cache_key(r);
    int cached = PySequence_Contains(cache.ptr(), key.ptr());
    if (cached < 0) throw py::error_already_set();
    if (cached) {
        // Answered from the cache: no pattern lookup, no request. A cached document that
        // cannot be read is reported as the failed query it stands for.
        py::object data = cache[key];
        try {
            co_return dependencies_of_document(r, data);
        } catch (py::error_already_set& e) {
            if (!pyco::is_exception(e)) throw;
            error("Failed to query {} for {}: {}", index_url, package_name, e.value());
        }
        co_return py::list();
    }
    Task request = document_request(r, &kDependenciesQuery);
    co_return co_await pyco::await(std::move(request));
}

py::object get_dependencies_via_unearth(py::object self, py::object package_name, py::object version,
                                        py::object index_url) {
    try {
        py::object requires_dist = requires_dist_via_unearth(package_name, version, index_url);
        if (requires_dist.is_none()) return py::list();
        return parse_all(self, requires_dist);
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        debug("Unearth get_dependencies failed: {}", e.value());
        return py::list();
    }
}

py::object parse_requirement_method(py::object self, py::object req) { return parse_requirement(req); }

}  // namespace

void metadata_methods(Methods& out) {
    py::object str = builtin("str");
    py::object any = g("Any");
    py::object records = list_of(dict_of(str, any));
    std::vector<pyco::Param> version_query = {"self", arg("package_name").type(Check::Str),
                                              arg("version").type(Check::Str), arg("index_url").type(Check::Str)};
    std::vector<pyco::Param> public_query = {"self", arg("package_name").type(Check::Str),
                                             arg("version").type(Check::Str),
                                             arg("index_url").type(Check::Str, true).def_none()};

    out.push_back(pyco::fn<get_extras>("get_extras", public_query,
                                       "The extras a package version declares, sorted, from the given index or from "
                                       "the first configured index that lists any.")
                      .annotated(annotations({{"index_url", optional_of(str)}, {"return", list_of(str)}})));
    out.push_back(pyco::fn<get_extras_from_index>("_get_extras_from_index", version_query,
                                                  "The extras of a package version on one index; empty on any failure.")
                      .annotated(annotations({{"return", set_of(str)}})));
    out.push_back(pyco::fn<get_extras_via_unearth>("_get_extras_via_unearth", version_query,
                                                   "The extras in the metadata the package finder finds (blocking).")
                      .annotated(annotations({{"return", set_of(str)}})));
    out.push_back(pyco::fn<get_dependencies>("get_dependencies", public_query,
                                             "The requirements of a package version as dependency records, from the "
                                             "given index or from the first configured index that lists any.")
                      .annotated(annotations({{"index_url", optional_of(str)}, {"return", records}})));
    out.push_back(pyco::fn<get_dependencies_from_index>(
                      "_get_dependencies_from_index", version_query,
                      "The dependency records of a package version on one index (documents are cached per name and "
                      "version); empty on any failure.")
                      .annotated(annotations({{"return", records}})));
    out.push_back(pyco::fn<get_dependencies_via_unearth>(
                      "_get_dependencies_via_unearth", version_query,
                      "The dependency records in the metadata the package finder finds (blocking).")
                      .annotated(annotations({{"return", records}})));
    out.push_back(pyco::fn<parse_requirement_method>("_parse_requirement", {"self", arg("req").type(Check::Str)},
                                                     "A requirement string as a record with name, version_spec, "
                                                     "extras and markers; None when it does not start with a name.")
                      .annotated(annotations({{"return", optional_of(dict_of(str, any))}})));
}

}  // namespace caskwell
