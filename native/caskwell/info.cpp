// Package information: name, latest version and summary from the first index that knows
// the package, or a dict with an `error` message.
#include "caskwell/caskwell.hpp"

namespace caskwell {

namespace {

using pyco::arg;
using pyco::Check;

py::dict error_result(py::handle message) {
    py::dict result;
    result[S("error")] = message;
    return result;
}

py::dict success(py::handle name, py::handle latest_version, py::handle summary) {
    py::dict result;
    result[S("name")] = name;
    result[S("latest_version")] = latest_version;
    result[S("summary")] = summary;
    return result;
}

// _get_package_info_from_index: name, latest version and summary from the package's
// document (or the newest version the finder lists); every failure is an error result
// saying what went wrong.
struct InfoQuery final : DocumentQuery {
    constexpr InfoQuery() : DocumentQuery(ApiUrl::WithoutVersion) {}

    py::object answer(const Request& r, py::object data) const override {
        py::object info = get_or(data, S("info"), py::dict());
        return success(get_or(info, S("name"), r.package_name), get_or(info, S("version"), S("")),
                       get_or(info, S("summary"), S("")));
    }
    // Not given by any step of this query: each says what went wrong.
    py::object empty(const Request& r) const override { return not_found(r); }
    py::object not_found(const Request& r) const override {
        return error_result(pyco::fmt("Package '{}' not found at {}", r.package_name, r.index_url));
    }
    py::object bad_status(const Request&, py::handle status) const override {
        return error_result(pyco::fmt("API returned status {}", status));
    }
    py::object timed_out(const Request&) const override { return error_result(S("Request timed out")); }
    py::object failed(const Request&, py::handle e) const override { return error_result(str_of(e)); }
    py::object no_pattern(const Request& r) const override {
        return error_result(pyco::fmt("No API pattern configured for {}", r.index_url));
    }
    py::tuple unearth_call(const Request& r) const override {
        return py::make_tuple(r.self.attr("_get_versions_via_unearth"), r.package_name, r.index_url);
    }
    // The newest of the finder's versions as the latest one; there is no summary on this path.
    py::object unearth_answer(const Request& r, py::object versions) const override {
        if (!truthy(versions)) return not_found(r);
        return success(r.package_name, versions[py::int_(0)], S(""));
    }
    py::object unearth_failed(const Request& r, py::handle e) const override {
        error("Unearth failed for {} at {}: {}", r.package_name, r.index_url, e);
        return error_result(str_of(e));
    }
};
const InfoQuery kInfoQuery;

// get_package_info over the configured indexes: the first result without an `error` key.
struct InfoSearch final : IndexSearch {
    InfoSearch()
        : IndexSearch({"Querying primary index for package info: {}", nullptr,
                       "No info from primary, trying {} secondary indexes", kQueryingSecondary, nullptr}) {}
    py::object query(const py::object& self, const py::object& package_name, const py::object&,
                     const py::object& url) const override {
        return self.attr("_get_package_info_from_index")(package_name, url);
    }
    bool passes(py::handle result) const override {
        int has_error = PySequence_Contains(result.ptr(), S("error").ptr());
        if (has_error < 0) throw py::error_already_set();
        return has_error == 0;
    }
    py::object nothing_found(const py::object& package_name) const override {
        warning("Could not retrieve package info for {} from any index", package_name);
        return error_result(pyco::fmt("Package '{}' not found in any configured index", package_name));
    }
};
const InfoSearch kInfoSearch;

Task get_package_info(py::object self, py::object package_name) {
    Task search = search_indexes(self, package_name, py::none(), &kInfoSearch);
    co_return co_await pyco::await(std::move(search));
}

Task get_package_info_from_index(py::object self, py::object package_name, py::object index_url) {
    Task request = document_request(Request{self, package_name, py::none(), index_url}, &kInfoQuery);
    co_return co_await pyco::await(std::move(request));
}

}  // namespace

void info_methods(Methods& out) {
    py::object str = builtin("str");
    py::object result = dict_of(str, str);
    out.push_back(pyco::fn<get_package_info>("get_package_info", {"self", arg("package_name").type(Check::Str)},
                                             "Name, latest version and summary of a package from the first "
                                             "configured index that knows it, or a dict with an error message.")
                      .annotated(annotations({{"return", result}})));
    out.push_back(pyco::fn<get_package_info_from_index>(
                      "_get_package_info_from_index",
                      {"self", arg("package_name").type(Check::Str), arg("index_url").type(Check::Str)},
                      "Name, latest version and summary of a package on one index, or a dict with an error message.")
                      .annotated(annotations({{"return", result}})));
}

}  // namespace caskwell
