// The editor's language requests (completion, signature help, hover, diagnostics),
// answered inline through the language-service companion with the workbook's modules.
//
// A failure while answering (the companion raising, a field that cannot be used) is
// answered with the request's own response carrying the error text; it does not end
// the session.
#include "kernel/routes.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;

// The fields every editor request carries.
struct Request {
    py::object request_id, code, workbook_id, module_name;
};

Request read_request(const py::object& message) {
    return Request{field(message, "request_id"), field(message, "code", S("")), field(message, "workbook_id"),
                   field(message, "module_name")};
}

// The cursor fields of completion, signature help and hover.
struct Cursor {
    py::object line, column, path, dirty_files;
};

Cursor read_cursor(const py::object& message) {
    return Cursor{field(message, "line", py::int_(1)), field(message, "column", py::int_(0)), field(message, "path"),
                  field(message, "dirty_files")};
}

Py_ssize_t length_of(const py::object& value) {
    Py_ssize_t n = PyObject_Length(value.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

// The bridge's analysis with the cursor and the workbook's sources (a copy taken now).
py::object analyse(py::handle self, const char* operation, const Request& r, const Cursor& c) {
    py::dict modules = py::reinterpret_steal<py::dict>(PyDict_Copy(g("in_memory_loader").attr(S("source_cache")).ptr()));
    if (!modules) throw py::error_already_set();
    return self.attr(S("_lsp_bridge")).attr(operation)(py::arg("code") = r.code, py::arg("line") = c.line,
                                                    py::arg("column") = c.column, py::arg("path") = c.path,
                                                    py::arg("modules") = modules,
                                                    py::arg("dirty_files") = c.dirty_files);
}

// Sends the response `answer()` builds; when answering fails, the response `failed(text)`.
template <class Answer, class Failed>
Task respond(py::handle self, Answer answer, Failed failed) {
    py::dict response;
    try {
        response = answer();
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        error("[LSP] Request failed: {}", safe_str(e.value()));
        response = failed(safe_str(e.value()));
    }
    co_await pyco::await(send(self, response));
    co_return py::none();
}

Task completion(py::handle self, py::object message) {
    Request r = read_request(message);
    return respond(
        self,
        [=] {
            Cursor c = read_cursor(message);
            Py_ssize_t dirty = pyco::truthy(c.dirty_files) ? length_of(c.dirty_files) : 0;
            debug("[LSP] Request received: line={}, column={}, path={}, code_length={}, dirty_files={}", c.line,
                  c.column, c.path, length_of(r.code), dirty);
            py::object result = analyse(self, "get_completions", r, c);
            py::object completions = result.attr(S("get"))(S("completions"), py::list());
            py::object error_text = result.attr(S("get"))(S("error"));
            debug("[LSP] Response: {} completions, error={}", length_of(completions), error_text);
            return msg::completion_response(completions, error_text, r.request_id, r.workbook_id, r.module_name);
        },
        [=](py::object text) {
            return msg::completion_response(py::list(), text, r.request_id, r.workbook_id, r.module_name);
        });
}

Task signature_help(py::handle self, py::object message) {
    Request r = read_request(message);
    return respond(
        self,
        [=] {
            Cursor c = read_cursor(message);
            debug("[LSP] Signature help request: line={}, column={}, path={}, code_length={}", c.line, c.column, c.path,
                  length_of(r.code));
            py::object result = analyse(self, "get_signature_help", r, c);
            py::object signatures = result.attr(S("get"))(S("signatures"), py::list());
            py::object error_text = result.attr(S("get"))(S("error"));
            debug("[LSP] Signature help response: {} signatures, error={}", length_of(signatures), error_text);
            return msg::signature_help_response(result.attr(S("get"))(S("signatures"), py::list()),
                                                result.attr(S("get"))(S("activeSignature"), 0),
                                                result.attr(S("get"))(S("activeParameter"), 0), error_text, r.request_id,
                                                r.workbook_id, r.module_name);
        },
        [=](py::object text) {
            return msg::signature_help_response(py::list(), py::int_(0), py::int_(0), text, r.request_id,
                                                r.workbook_id, r.module_name);
        });
}

Task hover(py::handle self, py::object message) {
    Request r = read_request(message);
    return respond(
        self,
        [=] {
            Cursor c = read_cursor(message);
            debug("[LSP] Hover request: line={}, column={}, path={}, code_length={}", c.line, c.column, c.path,
                  length_of(r.code));
            py::object result = analyse(self, "get_hover", r, c);
            py::object contents = result.attr(S("get"))(S("contents"));
            py::object error_text = result.attr(S("get"))(S("error"));
            debug("[LSP] Hover response: has_contents={}, error={}", py::bool_(!contents.is_none()), error_text);
            return msg::hover_response(contents, error_text, r.request_id, r.workbook_id, r.module_name);
        },
        [=](py::object text) {
            return msg::hover_response(py::none(), text, r.request_id, r.workbook_id, r.module_name);
        });
}

Task diagnostics(py::handle self, py::object message) {
    Request r = read_request(message);
    return respond(
        self,
        [=] {
            debug("[LSP] Diagnostic request: code_length={}, module={}", length_of(r.code), r.module_name);
            py::object result =
                self.attr(S("_lsp_bridge")).attr(S("get_diagnostics"))(py::arg("code") = r.code,
                                                                 py::arg("module_name") = r.module_name);
            py::object found = result.attr(S("get"))(S("diagnostics"), py::list());
            py::object error_text = result.attr(S("get"))(S("error"));
            debug("[LSP] Diagnostic response: {} diagnostics, error={}", length_of(found), error_text);
            return msg::diagnostic_response(found, error_text, r.request_id, r.workbook_id, r.module_name);
        },
        [=](py::object text) {
            return msg::diagnostic_response(py::list(), text, r.request_id, r.workbook_id, r.module_name);
        });
}

}  // namespace

void add_language_methods(pyco::ClassBuilder& cls) {
    cls.method(pyco::fn<completion>("_handle_completion_request", {"self", arg("message").type(Check::Dict)},
                                    "Answer an editor completion request."));
    cls.method(pyco::fn<signature_help>("_handle_signature_help_request", {"self", arg("message").type(Check::Dict)},
                                        "Answer an editor signature-help request."));
    cls.method(pyco::fn<hover>("_handle_hover_request", {"self", arg("message").type(Check::Dict)},
                               "Answer an editor hover request."));
    cls.method(pyco::fn<diagnostics>("_handle_diagnostic_request", {"self", arg("message").type(Check::Dict)},
                                     "Answer an editor diagnostic request."));
}

}  // namespace kernel
