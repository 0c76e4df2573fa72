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

py::object not_found_at(const Request& r) {
    return error_result(pyco::fmt("Package '{}' not found at {}", r.package_name, r.index_url));
}

py::object info_failure(const Request& r, Failure kind, py::handle detail) {
    switch (kind) {
        case Failure::NotFound: return not_found_at(r);
        case Failure::Status: return error_result(pyco::fmt("API returned status {}", detail));
        case Failure::Timeout: return error_result(S("Request timed out"));
        case Failure::NoPattern: return error_result(pyco::fmt("No API pattern configured for {}", r.index_url));
        case Failure::Error:
        case Failure::Unearth: break;
    }
    return error_result(str_of(detail));
}

py::object info_of_document(const Request& r, py::object data) {
    py::object info = get_or(data, S("info"), py::dict());
    return success(get_or(info, S("name"), r.package_name), get_or(info, S("version"), S("")),
                   get_or(info, S("summary"), S("")));
}

py::tuple versions_via_unearth_call(const Request& r) {
    return py::make_tuple(r.self.attr("_get_versions_via_unearth"), r.package_name, r.index_url);
}

// The newest of the finder's versions as the latest one; there is no summary on this path.
py::object info_of_versions(const Request& r, py::object versions) {
    if (!truthy(versions)) return not_found_at(r);
    return success(r.package_name, versions[py::int_(0)], S(""));
}

void unearth_failed(const Request& r, py::handle e) {
    error("Unearth failed for {} at {}: {}", r.package_name, r.index_url, e);
}

const IndexQuery kInfoQuery{
    .versioned_url = false,
    .status_only = false,
    .api_check_failed = nullptr,
    .on_data = info_of_document,
    .failure = info_failure,
    .log_no_unearth = true,
    .unearth_call = versions_via_unearth_call,
    .on_unearth = info_of_versions,
    .unearth_failed = unearth_failed,
};

py::object as_found(py::object result, const py::object&) { return result; }

py::object not_in_any_index(const py::object& package_name) {
    return error_result(pyco::fmt("Package '{}' not found in any configured index", package_name));
}

const Search kInfoSearch{
    .per_index_method = "_get_package_info_from_index",
    .with_version = false,
    .test = Test::NoErrorKey,
    .primary = "Querying primary index for package info: {}",
    .primary_found = nullptr,
    .secondaries = "No info from primary, trying {} secondary indexes",
    .secondary = "Querying secondary index: {}",
    .secondary_found = nullptr,
    .none_level = WARNING,
    .none = "Could not retrieve package info for {} from any index",
    .found = as_found,
    .not_found = not_in_any_index,
};

Task get_package_info(py::object self, py::object package_name) {
    Task search = search_indexes(self, package_name, py::none(), &kInfoSearch);
    co_return co_await pyco::await(std::move(search));
}

Task get_package_info_from_index(py::object self, py::object package_name, py::object index_url) {
    Task request = index_request(Request{self, package_name, py::none(), index_url}, &kInfoQuery);
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
