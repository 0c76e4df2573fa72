// The two patterns every query of the client follows, written once: the multi-index
// search order (primary first, then the secondaries one at a time, the first result
// that passes the query's test wins, results are never merged) and the per-index
// request (API pattern, URL, session, GET with a 10-second timeout, status, JSON, or the
// unearth fallback in the default executor for an index without a pattern).
#include "caskwell/caskwell.hpp"

#include <type_traits>

namespace caskwell {

namespace {

// GET of the query's API URL with a 10-second timeout; `read(response, url)` gives the
// answer inside the response's context. Everything here runs under the caller's error
// guard (building the URL included).
template <class Read>
Task api_get(Request r, py::object pattern, ApiUrl kind, Read read) {
    py::handle version = kind == ApiUrl::WithVersion ? py::handle(r.version) : py::handle();
    py::object url = api_url(pattern, r.package_name, version);
    py::object session = co_await pyco::await(r.self.attr("_get_session")());
    py::object timeout = attr_of("aiohttp", "ClientTimeout")(py::arg("total") = py::int_(10));
    py::object request = session.attr("get")(url, py::arg("timeout") = timeout);
    Task body = pyco::async_with(request, [url, read](py::object response) { return read(std::move(response), url); });
    co_return co_await pyco::await(std::move(body));
}

// A document query's response: status, then the decoded document.
Task read_document(py::object response, Request r, py::object url, const DocumentQuery* q) {
    py::object status = response.attr("status");
    if (status.equal(py::int_(404))) {
        debug("Package {} not found at {}", r.package_name, r.index_url);
        co_return q->not_found(r);
    }
    if (!status.equal(py::int_(200))) {
        error("API returned status {} for {}", status, url);
        co_return q->bad_status(r, status);
    }
    py::object data = co_await pyco::await(response.attr("json")());
    co_return q->answer(r, std::move(data));
}

// An existence check's response: whether the status is 200 (the body is not read).
Task status_is_ok(py::object response) {
    py::object status = response.attr("status");
    co_return py::bool_(status.equal(py::int_(200)));
}

// The blocking fallback, run in the loop's default executor. A document query's answer
// is made from the call's result here, under the fallback's error guard.
template <class Query>
Task unearth_request(Request r, const Query* q) {
    py::object loop = attr_of("asyncio", "get_event_loop")();
    py::tuple call = q->unearth_call(r);
    py::tuple args(PyTuple_GET_SIZE(call.ptr()) + 1);
    args[0] = py::none();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(call.ptr()); ++i) args[i + 1] = call[i];
    py::object future = loop.attr("run_in_executor")(*args);
    py::object result = co_await pyco::await(future);
    if constexpr (std::is_same_v<Query, DocumentQuery>) {
        co_return q->unearth_answer(r, std::move(result));
    } else {
        co_return result;
    }
}

}  // namespace

void log_no_pattern(const Request& r) { debug("No API pattern and unearth not available for {}", r.index_url); }

Task document_request(Request r, const DocumentQuery* q) {
    py::object pattern = r.self.attr("_get_api_pattern_for_index")(r.index_url);
    if (truthy(pattern)) {
        Task get = api_get(r, pattern, q->url, [r, q](py::object response, py::object url) {
            return read_document(std::move(response), r, std::move(url), q);
        });
        py::object result = co_await pyco::await_nothrow(awaitable(std::move(get)));
        if (result) co_return result;
        pyco::SavedError err = pyco::take_exception();
        py::handle e(err.value);
        if (err.matches(timeout_error().ptr())) {
            error("Timeout querying {} for {}", r.index_url, r.package_name);
            co_return q->timed_out(r);
        }
        error("Failed to query {} for {}: {}", r.index_url, r.package_name, e);
        co_return q->failed(r, e);
    }
    if (!truthy(g("UNEARTH_AVAILABLE"))) {
        log_no_pattern(r);
        co_return q->no_pattern(r);
    }
    py::object result = co_await pyco::await_nothrow(awaitable(unearth_request(r, q)));
    if (result) co_return result;
    pyco::SavedError err = pyco::take_exception();
    co_return q->unearth_failed(r, err.value);
}

Task check_request(Request r, const ExistenceCheck* c) {
    py::object pattern = r.self.attr("_get_api_pattern_for_index")(r.index_url);
    if (truthy(pattern)) {
        Task get = api_get(r, pattern, c->url,
                           [](py::object response, py::object) { return status_is_ok(std::move(response)); });
        py::object result = co_await pyco::await_nothrow(awaitable(std::move(get)));
        if (result) co_return result;
        pyco::SavedError err = pyco::take_exception();
        c->api_failed(r, err.value);
        co_return py::bool_(false);
    }
    if (!truthy(g("UNEARTH_AVAILABLE"))) {
        c->no_pattern(r);
        co_return py::bool_(false);
    }
    py::object result = co_await pyco::await_nothrow(awaitable(unearth_request(r, c)));
    if (result) co_return result;
    pyco::SavedError err = pyco::take_exception();
    c->unearth_failed(r, err.value);
    co_return py::bool_(false);
}

Task search_indexes(py::object self, py::object package_name, py::object version, const IndexSearch* s) {
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
        if (s->lines.querying_primary) info(s->lines.querying_primary, package_name);
        py::object result = co_await pyco::await(s->query(self, package_name, version, primary));
        if (s->passes(result)) {
            if (s->lines.found_in_primary) info(s->lines.found_in_primary, length_of(result));
            co_return s->answer(std::move(result), primary);
        }
    }
    Py_ssize_t n = PyList_GET_SIZE(secondary.ptr());
    if (truthy(settings[S("use_secondary_urls")]) && n > 0) {
        if (s->lines.trying_secondaries) info(s->lines.trying_secondaries, n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::object url = secondary[i];
            if (s->lines.querying_secondary) info(s->lines.querying_secondary, url);
            py::object result = co_await pyco::await(s->query(self, package_name, version, url));
            if (s->passes(result)) {
                if (s->lines.found_in_secondary) info(s->lines.found_in_secondary, length_of(result));
                co_return s->answer(std::move(result), url);
            }
        }
    }
    co_return s->nothing_found(package_name);
}

}  // namespace caskwell
