// Outgoing framing (whole frames or chunks of CHUNK_SIZE characters under the socket
// lock) and reassembly of inbound chunk messages.
#include "kernel/routes.hpp"

#include <algorithm>

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;

// Chunked messages above this many pieces (1 GiB of text) are refused before any buffer
// is made, so a peer cannot make the kernel allocate without bound.
constexpr Py_ssize_t kMaxChunks = 16384;
// At most this many chunked messages are open at once, holding at most this much text;
// beyond either the oldest incomplete message is dropped.
constexpr Py_ssize_t kMaxOpenChunkIds = 64;
constexpr Py_ssize_t kMaxBufferedChunkChars = 256 * 1024 * 1024;


// A value for the chunk envelope's `original_type` / `request_id`: the text itself, str()
// of any other value, and the default when the key is missing or null.
py::object envelope_text(const py::object& value, const char* fallback) {
    if (value.is_none()) return py::str(fallback);
    if (PyUnicode_CheckExact(value.ptr())) return value;
    return py::str(value);
}

Task send_message(py::handle self, py::object message) {
    co_await pyco::await(pyco::call_method(self, "_send_message_direct", message));
    co_return py::none();
}

Task write_frame(py::handle self, py::object raw_json, py::object msg_type, double start_time) {
    double lock_wait_ms = (now() - start_time) * 1000.0;
    if (lock_wait_ms > 5.0) warning("[TIMING] Socket lock waited {:.1f}ms for: type={}", lock_wait_ms, msg_type);
    co_await pyco::await(self.attr(S("websocket")).attr(S("send"))(raw_json));
    co_return py::none();
}

// --- frames written at once -------------------------------------------------------------
//
// A frame normally goes out under the socket lock through websockets' Connection.send: the
// lock's acquisition, the send coroutine and its send context, for what is, on an open
// connection nothing else is writing to, one call of the protocol and one write of the
// transport. When nothing can be in the way (the lock is free with no one waiting; the
// connection is websockets' own asyncio connection with its own send, open, not in the
// middle of a fragmented message, its transport neither closing nor paused by flow
// control), the frame is given to the protocol and written at once, as the send context
// does it, without a turn of the loop. Anything else takes the way through the lock.

struct DirectWrite {
    PyObject* send = nullptr;       // websockets.asyncio.connection.Connection.send
    PyObject* open = nullptr;       // websockets.protocol.State.OPEN
    PyObject* lock_type = nullptr;  // asyncio.Lock
};

// Made once per process; null members when websockets has no such connection (then every
// frame takes the way through the lock).
const DirectWrite& direct_write() {
    static const DirectWrite kept = [] {
        DirectWrite d;
        try {
            py::object send = py::module_::import("websockets.asyncio.connection").attr("Connection").attr("send");
            py::object open = py::module_::import("websockets.protocol").attr("State").attr("OPEN");
            py::object lock_type = attr_of("asyncio", "Lock");
            d = {send.release().ptr(), open.release().ptr(), lock_type.release().ptr()};
        } catch (py::error_already_set&) {
        }
        return d;
    }();
    return kept;
}

// Writes the frame when nothing can be in its way; false when it must take the way
// through the socket lock and Connection.send.
bool write_at_once(const py::object& lock, const py::object& websocket, const py::object& raw_json) {
    const DirectWrite& d = direct_write();
    if (!d.send || Py_TYPE(lock.ptr()) != reinterpret_cast<PyTypeObject*>(d.lock_type)) return false;
    if (!attribute_is(lock, "_locked", Py_False)) return false;
    PyObject* waiters = PyObject_GetAttr(lock.ptr(), pyco::intern("_waiters"));
    if (!waiters) {
        PyErr_Clear();
        return false;
    }
    bool queue = waiters != Py_None && PyObject_IsTrue(waiters) != 0;
    Py_DECREF(waiters);
    if (queue || PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (!bound_to(websocket, "send", d.send)) return false;
    // A fragmented message in progress (the attribute's name differs between versions).
    bool known = false;
    for (const char* pending : {"send_in_progress", "fragmented_send_waiter"}) {
        PyObject* value = PyObject_GetAttr(websocket.ptr(), pyco::intern(pending));
        if (!value) {
            PyErr_Clear();
            continue;
        }
        known = true;
        bool idle = value == Py_None;
        Py_DECREF(value);
        if (!idle) return false;
    }
    if (!known || !attribute_is(websocket, "paused", Py_False)) return false;
    py::object protocol = websocket.attr(S("protocol"));
    if (!attribute_is(protocol, "state", d.open)) return false;
    py::object transport = websocket.attr(S("transport"));
    if (pyco::truthy(transport.attr(S("is_closing"))())) return false;
    PyObject* data = PyUnicode_AsUTF8String(raw_json.ptr());
    if (!data) throw py::error_already_set();
    protocol.attr(S("send_text"))(py::reinterpret_steal<py::object>(data));
    websocket.attr(S("send_data"))();
    return true;
}

Task send_message_direct(py::handle self, py::object message) {
    py::object msg_type = field(message, "type", S("unknown"));
    py::object request_id = field(message, "request_id", S("N/A"));
    py::object websocket = self.attr(S("websocket"));
    if (!pyco::truthy(websocket)) {
        warning("[Kernel] Cannot send message type '{}': WebSocket not connected", msg_type);
        co_return py::none();
    }
    if (self.attr(S("_socket_lock")).is_none()) {
        warning("[Kernel] Cannot send message type '{}': Socket lock not initialized", msg_type);
        co_return py::none();
    }
    bool traced = log_enabled(DEBUG);
    debug_if(traced, "[TIMING] Acquiring socket lock for: type={}, request_id={}", msg_type, request_id);
    double start_time = now();
    py::object raw_json = g("json_dumps")(message);
    Py_ssize_t length = PyObject_Length(raw_json.ptr());
    if (length < 0) throw py::error_already_set();
    if (length > g("CHUNK_SIZE").cast<Py_ssize_t>()) {
        co_await pyco::await(pyco::call_method(self, "_send_chunked_message", raw_json, envelope_text(msg_type, "unknown"),
                                                                  envelope_text(request_id, "N/A")));
    } else if (!write_at_once(self.attr(S("_socket_lock")), websocket, raw_json)) {
        Task body = pyco::async_with(self.attr(S("_socket_lock")), [self, raw_json, msg_type, start_time](py::object) {
            return write_frame(self, raw_json, msg_type, start_time);
        });
        co_await pyco::await(std::move(body));
    }
    debug_if(traced, "[TIMING] Message sent: type={}, request_id={}", msg_type, request_id);
    co_return py::none();
}

Task write_chunks(py::handle self, py::object raw_json, py::object message_type, py::object request_id,
                  py::object chunk_id, Py_ssize_t total_chunks) {
    Py_ssize_t chunk_size = g("CHUNK_SIZE").cast<Py_ssize_t>();
    Py_ssize_t length = PyUnicode_GET_LENGTH(raw_json.ptr());
    for (Py_ssize_t i = 0; i < total_chunks; ++i) {
        Py_ssize_t start = i * chunk_size;
        Py_ssize_t end = std::min(start + chunk_size, length);
        PyObject* piece = PyUnicode_Substring(raw_json.ptr(), start, end);
        if (!piece) throw py::error_already_set();
        py::object data = py::reinterpret_steal<py::object>(piece);
        py::object frame = g("json_dumps")(msg::chunk(chunk_id, i, total_chunks, data, message_type, request_id));
        co_await pyco::await(self.attr(S("websocket")).attr(S("send"))(frame));
    }
    co_return py::none();
}

Task send_chunked_message(py::handle self, py::object raw_json, py::object message_type, py::object request_id) {
    py::object chunk_id = py::str(attr_of("uuid", "uuid4")());
    Py_ssize_t chunk_size = g("CHUNK_SIZE").cast<Py_ssize_t>();
    Py_ssize_t length = PyUnicode_GET_LENGTH(raw_json.ptr());
    Py_ssize_t total_chunks = (length + chunk_size - 1) / chunk_size;
    info("[Kernel] Chunking large message: type={}, size={}, chunks={}", message_type, length, total_chunks);
    Task body = pyco::async_with(self.attr(S("_socket_lock")),
                                 [self, raw_json, message_type, request_id, chunk_id, total_chunks](py::object) {
                                     return write_chunks(self, raw_json, message_type, request_id, chunk_id,
                                                         total_chunks);
                                 });
    co_await pyco::await(std::move(body));
    debug("[Kernel] Sent {} chunks for message: type={}, chunk_id={}", total_chunks, message_type, chunk_id);
    co_return py::none();
}

bool is_int(const py::object& v) { return PyLong_Check(v.ptr()); }

// Characters held by one reassembly buffer.
Py_ssize_t stored_chars(const py::object& buffer) {
    Py_ssize_t n = 0;
    for (py::handle piece : py::object(buffer[py::str("chunks")])) {
        if (PyUnicode_Check(piece.ptr())) n += PyUnicode_GET_LENGTH(piece.ptr());
    }
    return n;
}

// The text held by all open buffers is counted as pieces come and go (kept with the kernel;
// counted afresh whenever it reaches the limit, so a replaced buffer table cannot mislead it).
const char* const kBufferedChars = "_chunk_text_size";

Py_ssize_t buffered_chars(py::handle self) {
    py::object n = py::getattr(self, kBufferedChars, py::int_(0));
    return PyLong_Check(n.ptr()) ? std::max<Py_ssize_t>(0, PyLong_AsSsize_t(n.ptr())) : 0;
}

void set_buffered_chars(py::handle self, Py_ssize_t n) { self.attr(kBufferedChars) = py::int_(std::max<Py_ssize_t>(0, n)); }

Py_ssize_t count_buffered_chars(const py::object& buffers) {
    Py_ssize_t n = 0;
    for (auto item : py::reinterpret_borrow<py::dict>(buffers)) n += stored_chars(py::reinterpret_borrow<py::object>(item.second));
    return n;
}

// Closes the buffer of `chunk_id` (its text no longer counted); an incomplete message that
// is dropped is logged with why (`dropped_because`).
void release_buffer(py::handle self, const py::object& buffers, const py::object& chunk_id, const py::object& buffer,
                    const py::object& dropped_because = py::object()) {
    set_buffered_chars(self, buffered_chars(self) - stored_chars(buffer));
    buffers.attr(S("__delitem__"))(chunk_id);
    if (dropped_because) warning("[Kernel] Dropped incomplete chunked message {}: {}", chunk_id, dropped_because);
}

py::object too_many_open() { return pyco::fmt("more than {} chunked messages are open", kMaxOpenChunkIds); }
py::object too_much_text() { return pyco::fmt("more than {} characters of chunks are buffered", kMaxBufferedChunkChars); }

// Drops the oldest open buffer other than `keep`; false when there is none.
bool drop_oldest(py::handle self, const py::object& buffers, const py::object& keep, const py::object& reason) {
    for (auto item : py::reinterpret_borrow<py::dict>(buffers)) {
        py::object chunk_id = py::reinterpret_borrow<py::object>(item.first);
        if (keep && chunk_id.equal(keep)) continue;
        release_buffer(self, buffers, chunk_id, py::reinterpret_borrow<py::object>(item.second), reason);
        return true;
    }
    return false;
}

// One chunk as it arrived.
struct Chunk {
    py::object id, index, total, data;
};

// The chunk's fields, or false (logged) when the message is not a usable chunk.
bool read_chunk(const py::object& message, Chunk& c) {
    py::object get = message.attr(S("get"));
    c.id = get(py::str("chunk_id"));
    c.index = get(py::str("chunk_index"));
    c.total = get(py::str("total_chunks"));
    c.data = get(py::str("data"), py::str(""));
    if (c.index.is_none() || c.total.is_none() || c.id.is_none()) {
        error("[Kernel] Invalid chunk message: missing required fields");
        return false;
    }
    if (!is_int(c.index) || !is_int(c.total)) {
        error("[Kernel] Invalid chunk message: chunk_index and total_chunks must be integers");
        return false;
    }
    if (c.index < py::int_(0) || c.index >= c.total) {
        error("[Kernel] Invalid chunk_index {} for total_chunks {}", c.index, c.total);
        return false;
    }
    if (c.total > py::int_(kMaxChunks)) {
        error("[Kernel] Invalid chunk message: total_chunks {} exceeds the limit of {}", c.total, kMaxChunks);
        return false;
    }
    if (PyObject_Hash(c.id.ptr()) == -1) {
        PyErr_Clear();
        error("[Kernel] Invalid chunk message: chunk_id must be a string");
        return false;
    }
    if (!PyUnicode_Check(c.data.ptr())) {
        error("[Kernel] Invalid chunk message: data must be a string");
        return false;
    }
    return true;
}

// The buffer of the chunk's message, opened (within the bound on open messages) for its
// first chunk.
py::object buffer_of(py::handle self, const py::object& buffers, const Chunk& c) {
    if (!has(buffers, c.id)) {
        while (PyObject_Length(buffers.ptr()) >= kMaxOpenChunkIds &&
               drop_oldest(self, buffers, py::object(), too_many_open())) {
        }
        py::list slots(0);
        Py_ssize_t total = c.total.cast<Py_ssize_t>();
        for (Py_ssize_t i = 0; i < total; ++i) slots.append(py::none());
        py::dict buffer;
        buffer["chunks"] = slots;
        buffer["received"] = py::int_(0);
        buffer["total"] = c.total;
        buffers[c.id] = buffer;
    }
    return buffers[c.id];
}

// Keeps the chunk's text (a repeated chunk is ignored) within the bound on buffered text;
// false when its message had to be dropped for it.
bool store(py::handle self, const py::object& buffers, const py::object& buffer, const Chunk& c) {
    py::object chunks = buffer[py::str("chunks")];
    if (!py::object(chunks[c.index]).is_none()) return true;
    Py_ssize_t size = PyUnicode_GET_LENGTH(c.data.ptr());
    if (buffered_chars(self) + size > kMaxBufferedChunkChars) {
        set_buffered_chars(self, count_buffered_chars(buffers));
        while (buffered_chars(self) + size > kMaxBufferedChunkChars &&
               drop_oldest(self, buffers, c.id, too_much_text())) {
        }
        if (buffered_chars(self) + size > kMaxBufferedChunkChars) {
            release_buffer(self, buffers, c.id, buffer, too_much_text());
            return false;
        }
    }
    set_buffered_chars(self, buffered_chars(self) + size);
    chunks[c.index] = c.data;
    buffer[py::str("received")] = py::object(buffer[py::str("received")]) + py::int_(1);
    return true;
}

// The whole JSON text of a complete message (its buffer is released), or null.
py::object joined(py::handle self, const py::object& buffers, const py::object& buffer, const py::object& chunk_id) {
    py::object chunks = buffer[py::str("chunks")];
    for (py::handle piece : chunks) {
        if (piece.is_none()) {
            error("[Kernel] Incomplete chunk buffer for chunk_id {}", chunk_id);
            release_buffer(self, buffers, chunk_id, buffer);
            return py::object();
        }
    }
    py::object full_json = py::str("").attr(S("join"))(chunks);
    release_buffer(self, buffers, chunk_id, buffer);
    return full_json;
}

// The message a complete chunked text holds, or None (logged) when it is not a message.
py::object parsed(const py::object& full_json, const py::object& chunk_id) {
    py::object result;
    try {
        result = attr_of("json", "loads")(full_json);
    } catch (py::error_already_set& e) {
        if (!e.matches(attr_of("json", "JSONDecodeError").ptr())) throw;
        error("[Kernel] Failed to parse reassembled message: {}", e.value());
        return py::none();
    }
    if (result.is_none()) return result;
    if (!PyDict_Check(result.ptr())) {
        error("[Kernel] Reassembled message for chunk_id {} is not a JSON object, rejecting", chunk_id);
        return py::none();
    }
    py::object inner_type = result.attr(S("get"))(py::str("type"));
    if (inner_type.equal(py::str("chunk"))) {
        error("[Kernel] Nested chunk message detected for chunk_id {}, rejecting", chunk_id);
        return py::none();
    }
    return result;
}

// One inbound chunk: the whole message once its last chunk has arrived, else None.
py::object reassemble(py::handle self, py::object message) {
    Chunk c;
    if (!read_chunk(message, c)) return py::none();
    py::object buffers = self.attr(S("_chunk_buffers"));
    py::object buffer = buffer_of(self, buffers, c);
    py::object chunks = buffer[py::str("chunks")];
    if (!c.total.equal(buffer[py::str("total")]) || c.index >= py::int_(PyObject_Length(chunks.ptr()))) {
        error("[Kernel] Chunk total_chunks {} does not match {} for chunk_id {}, rejecting", c.total,
              py::object(buffer[py::str("total")]), c.id);
        return py::none();
    }
    if (!store(self, buffers, buffer, c)) return py::none();
    if (!py::object(buffer[py::str("received")]).equal(buffer[py::str("total")])) return py::none();
    py::object full_json = joined(self, buffers, buffer, c.id);
    if (!full_json) return py::none();
    return parsed(full_json, c.id);
}

Task handle_chunk_message(py::handle self, py::object message) { co_return reassemble(self, message); }

// --- frames written together ----------------------------------------------------------
//
// Every frame the connection writes becomes one write of its transport, and a write on an
// idle socket is a system call of its own. The replies of calls that finish together leave
// in one turn of the loop, so the transport's write is made to gather them: the bytes of a
// turn are written once, at the end of the turn (a callback of the loop), or as soon as
// 64 KiB have gathered. The peer receives the same frames in the same order; close,
// write_eof and abort act on what has gathered first (written, written, dropped).

constexpr Py_ssize_t kGatherBytes = 64 * 1024;

struct Gathered {
    py::object loop, pieces, write, close, write_eof, abort, flush;
    Py_ssize_t size = 0;
    bool scheduled = false;
    PYCO_FIELDS(loop, pieces, write, close, write_eof, abort, flush)
};

void write_gathered(Gathered& w) {
    Py_ssize_t n = PyList_GET_SIZE(w.pieces.ptr());
    if (n == 0) return;
    py::object data;
    if (n == 1) {
        data = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(w.pieces.ptr(), 0));
    } else {
        PyObject* joined = _PyBytes_Join(py::bytes("").ptr(), w.pieces.ptr());
        if (!joined) throw py::error_already_set();
        data = py::reinterpret_steal<py::object>(joined);
    }
    if (PyList_SetSlice(w.pieces.ptr(), 0, n, nullptr) < 0) throw py::error_already_set();
    w.size = 0;
    w.write(data);
}

py::object flush_gathered(py::object closure) {
    Gathered& w = pyco::closure_of<Gathered>(closure);
    w.scheduled = false;
    write_gathered(w);
    return py::none();
}

py::object gathering_write(py::object closure, py::object data) {
    Gathered& w = pyco::closure_of<Gathered>(closure);
    if (!PyBytes_CheckExact(data.ptr())) {
        // Anything but bytes (a buffer the caller may change, or not bytes-like at all)
        // goes to the transport as it is, after what has gathered.
        write_gathered(w);
        return w.write(data);
    }
    Py_ssize_t n = PyBytes_GET_SIZE(data.ptr());
    if (n == 0) return py::none();
    if (PyList_Append(w.pieces.ptr(), data.ptr()) < 0) throw py::error_already_set();
    w.size += n;
    if (w.size >= kGatherBytes) {
        write_gathered(w);
    } else if (!w.scheduled) {
        w.loop.attr(S("call_soon"))(w.flush);
        w.scheduled = true;
    }
    return py::none();
}

py::object gathering_close(py::object closure) {
    Gathered& w = pyco::closure_of<Gathered>(closure);
    write_gathered(w);
    return w.close();
}

py::object gathering_write_eof(py::object closure) {
    Gathered& w = pyco::closure_of<Gathered>(closure);
    write_gathered(w);
    return w.write_eof();
}

py::object gathering_abort(py::object closure) {
    Gathered& w = pyco::closure_of<Gathered>(closure);
    Py_ssize_t n = PyList_GET_SIZE(w.pieces.ptr());
    if (n > 0 && PyList_SetSlice(w.pieces.ptr(), 0, n, nullptr) < 0) throw py::error_already_set();
    w.size = 0;
    return w.abort();
}

}  // namespace

py::object send(py::handle self, py::dict message) { return pyco::call_method(self, "send_message", message); }

void gather_writes(py::handle websocket) {
    py::object transport = py::getattr(websocket, "transport", py::none());
    if (transport.is_none() || !py::isinstance(transport, attr_of("asyncio", "WriteTransport"))) return;
    if (!py::hasattr(transport, "__dict__")) return;
    py::object cls = py::type::of(transport);
    auto bound = [&](const char* name) {
        return py::reinterpret_steal<py::object>(
            PyObject_CallMethod(cls.attr(name).ptr(), "__get__", "OO", transport.ptr(), cls.ptr()));
    };
    Gathered state;
    state.loop = attr_of("asyncio", "get_running_loop")();
    state.pieces = py::list();
    state.write = bound("write");
    state.close = bound("close");
    state.write_eof = bound("write_eof");
    state.abort = bound("abort");
    if (!state.write || !state.close || !state.write_eof || !state.abort) throw py::error_already_set();
    py::object closure = pyco::make_closure(std::move(state));
    Gathered& w = pyco::closure_of<Gathered>(closure);
    w.flush = function(pyco::fn<flush_gathered>("_write_gathered", {}).with_closure(closure));
    py::dict own = transport.attr("__dict__");
    own["write"] = function(pyco::fn<gathering_write>("write", {"data"}).with_closure(closure));
    own["close"] = function(pyco::fn<gathering_close>("close", {}).with_closure(closure));
    own["write_eof"] = function(pyco::fn<gathering_write_eof>("write_eof", {}).with_closure(closure));
    own["abort"] = function(pyco::fn<gathering_abort>("abort", {}).with_closure(closure));
}

void add_framing_methods(pyco::ClassBuilder& cls) {
    cls.method(pyco::fn<send_message>("send_message", {"self", arg("message").type(Check::Dict)},
                                      "Send a JSON message to the Business Layer."))
        .method(pyco::fn<send_message_direct>("_send_message_direct", {"self", arg("message").type(Check::Dict)},
                                              "Send a message directly, chunking if necessary."))
        .method(pyco::fn<send_chunked_message>("_send_chunked_message",
                                               {"self", arg("raw_json").type(Check::Str),
                                                arg("message_type").type(Check::Str), arg("request_id").type(Check::Str)},
                                               "Send a large message in chunks."))
        .method(pyco::fn<handle_chunk_message>(
            "_handle_chunk_message", {"self", arg("message").type(Check::Dict)},
            "Handle a chunk message and return the reassembled message when complete.")
                    .annotated(annotations({{"return", optional_of(builtin("dict"))}})));
}

}  // namespace kernel
