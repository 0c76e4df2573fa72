// The two patterns every query of the client follows, written once: the multi-index
// search order (primary first, then the secondaries one at a time, the first result
// that passes the query's test wins, results are never merged) and the per-index
// request (API pattern, URL, session, GET with a 10-second timeout, status, JSON, or the
// unearth fallback in the default executor for an index without a pattern).
#include "caskwell/caskwell.hpp"

namespace caskwell {

namespace {

// The request once the response is in: status, then the decoded document.
Task handle_response(py::object response, Request r, py::object url, const IndexQuery* q) {
    py::object status = response.attr("status");
    if (q->status_only) co_return py::bool_(status.equal(py::int_(200)));
    if (status.equal(py::int_(404))) {
        debug("Package {} not found at {}", r.package_name, r.index_url);
        co_return q->failure(r, Failure::NotFound, status);
    }
    if (!status.equal(py::int_(200))) {
        error("API returned status {} for {}", status, url);
        co_return q->failure(r, Failure::Status, status);
    }
    py::object data = co_await pyco::await(response.attr("json")());
    co_return q->on_data(r, std::move(data));
}

// Everything of the API path that runs under its error guard.
Task api_request(Request r, py::object pattern, const IndexQuery* q) {
    py::object url = api_url(pattern, r.package_name, q->versioned_url ? py::handle(r.version) : py::handle());
    py::object session = co_await pyco::await(r.self.attr("_get_session")());
    py::object timeout = attr_of("aiohttp", "ClientTimeout")(py::arg("total") = py::int_(10));
    py::object request = session.attr("get")(url, py::arg("timeout") = timeout);
    Task body = pyco::async_with(request, [r, url, q](py::object response) {
        return handle_response(std::move(response), r, url, q);
    });
    co_return co_await pyco::await(std::move(body));
}

// The blocking fallback, run in the loop's default executor.
Task unearth_request(Request r, const IndexQuery* q) {
    py::object loop = attr_of("asyncio", "get_event_loop")();
    py::tuple call = q->unearth_call(r);
    py::tuple args(PyTuple_GET_SIZE(call.ptr()) + 1);
    args[0] = py::none();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(call.ptr()); ++i) args[i + 1] = call[i];
    py::object future = loop.attr("run_in_executor")(*args);
    py::object result = co_await pyco::await(future);
    co_return q->on_unearth ? q->on_unearth(r, std::move(result)) : result;
}

py::object query_index(const py::object& self, const Search* s, const py::object& package_name,
                       const py::object& version, py::handle url) {
    py::object method = self.attr(s->per_index_method);
    return s->with_version ? method(package_name, version, url) : method(package_name, url);
}

bool passes(const Search* s, py::handle result) {
    if (s->test == Test::Truthy) return truthy(result);
    int has_error = PySequence_Contains(result.ptr(), S("error").ptr());
    if (has_error < 0) throw py::error_already_set();
    return has_error == 0;
}

}  // namespace

Task index_request(Request r, const IndexQuery* q) {
    py::object pattern = r.self.attr("_get_api_pattern_for_index")(r.index_url);
    if (truthy(pattern)) {
        py::object result = co_await pyco::await_nothrow(awaitable(api_request(r, pattern, q)));
        if (result) co_return result;
        pyco::SavedError err = pyco::take_exception();
        py::handle e(err.value);
        if (q->status_only) {
            q->api_check_failed(r, e);
        } else if (err.matches(timeout_error().ptr())) {
            error("Timeout querying {} for {}", r.index_url, r.package_name);
            co_return q->failure(r, Failure::Timeout, e);
        } else {
            error("Failed to query {} for {}: {}", r.index_url, r.package_name, e);
        }
        co_return q->failure(r, Failure::Error, e);
    }
    if (!truthy(g("UNEARTH_AVAILABLE"))) {
        if (q->log_no_unearth) debug("No API pattern and unearth not available for {}", r.index_url);
        co_return q->failure(r, Failure::NoPattern, r.index_url);
    }
    py::object result = co_await pyco::await_nothrow(awaitable(unearth_request(r, q)));
    if (result) co_return result;
    pyco::SavedError err = pyco::take_exception();
    q->unearth_failed(r, err.value);
    co_return q->failure(r, Failure::Unearth, err.value);
}

Task search_indexes(py::object self, py::object package_name, py::object version, const Search* s) {
    py::object settings = self.attr("_get_pip_settings")();
    py::object primary = py::none();
    py::list secondary;
    py::object index_urls = settings[S("index_urls")];
    for (py::handle entry : index_urls) {
        if (truthy(get_or(entry, S("primary"), py::bool_(false)))) {
            primary = entry[S("url")];
        } else {
            secondary.append(entry[S("url")]);
        }
    }
    if (truthy(primary)) {
        if (s->primary) info(s->primary, package_name);
        py::object result = co_await pyco::await(query_index(self, s, package_name, version, primary));
        if (passes(s, result)) {
            if (s->primary_found) info(s->primary_found, length_of(result));
            co_return s->found(std::move(result), primary);
        }
    }
    Py_ssize_t n = PyList_GET_SIZE(secondary.ptr());
    if (truthy(settings[S("use_secondary_urls")]) && n > 0) {
        if (s->secondaries) info(s->secondaries, n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::object url = secondary[i];
            if (s->secondary) info(s->secondary, url);
            py::object result = co_await pyco::await(query_index(self, s, package_name, version, url));
            if (passes(s, result)) {
                if (s->secondary_found) info(s->secondary_found, length_of(result));
                co_return s->found(std::move(result), url);
            }
        }
    }
    if (s->none && log_enabled(s->none_level)) pyco::served::log(s->none_level, pyco::fmt(s->none, package_name), s->none);
    co_return s->not_found(package_name);
}

}  // namespace caskwell
