// The communication items: semaphores, circular buffers, message buffers
// and the call pattern, remote buffers, VLINK, and the statistics the items
// keep. Every call that may block releases the GIL and answers Ctrl-C.
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "snapshot.h"
#include "zrdb_py.h"

namespace zrdbpy {
namespace {

std::string_view bytes_of(const py::bytes &b) { return b; }
std::span<const std::byte> span_of(std::string_view s) {
  return std::as_bytes(std::span(s.data(), s.size()));
}

// A handle of the C++ layer and the session it belongs to.
template <typename H>
struct Handle {
  std::shared_ptr<Session> session;
  H handle;
  std::string name;
  const H &use() const {
    session->require_open();
    return handle;
  }
};

template <typename H>
Handle<H> find(Db &db, const py::object &key) {
  db.session->require_open();
  const Key k = resolve_key(key);
  if (k.index >= 0) raise(-3, "'" + k.label + "' names an element, not an item");
  auto r = H::at(k.id);
  if (!r) raise(r.error(), "'" + k.label + "'");
  return Handle<H>{db.session, *r, k.label};
}

// ---------------------------------------------------------------------------

using Semaphore = Handle<zrdb::Semaphore>;

bool sem_wait(const Semaphore &s, const std::optional<double> &timeout) {
  const zrdb::Semaphore &h = s.use();
  int failure = 0;
  const bool done = wait_in_slices(s.session, timeout.value_or(-1), [&](uint32_t us) {
    const zrdb::Status st = h.wait_for(std::chrono::microseconds(us));
    if (!st && st.error() != -1) failure = st.error();
    return st.ok() || failure != 0;
  });
  if (failure != 0) raise(failure, "waiting on '" + s.name + "'");
  return done;
}

// ---------------------------------------------------------------------------

using CircularBuffer = Handle<zrdb::CircularBuffer>;

void cbuf_write(const CircularBuffer &c, const py::bytes &message, const py::bytes &data) {
  const zrdb::Status st = c.use().write(span_of(bytes_of(message)), span_of(bytes_of(data)));
  if (st.error() == -1) throw py::value_error("the record does not fit a slot of '" + c.name + "'");
  check(st, "writing '" + c.name + "'");
}

py::object cbuf_read(const CircularBuffer &c) {
  const zrdb::CircularBuffer &h = c.use();
  std::vector<std::byte> msg(static_cast<size_t>(std::max(zrdb_item_size(h.id()), 0)));
  std::vector<std::byte> data(msg.size());
  const auto r = h.read(msg, data);
  if (r.error() == -1) return py::none();  // empty
  const auto n = checked(r, "reading '" + c.name + "'");
  return py::make_tuple(py::bytes(reinterpret_cast<const char *>(msg.data()), n.msg),
                        py::bytes(reinterpret_cast<const char *>(data.data()), n.data));
}

// ---------------------------------------------------------------------------

// A message buffer to read and write, or an item whose servers are called
// through message buffers (the call pattern), or both.
struct MessageBuffer {
  std::shared_ptr<Session> session;
  std::optional<zrdb::MessageBuffer> buffer;
  std::optional<zrdb::Command> command;
  std::string name;
  const zrdb::MessageBuffer &queue() const {
    session->require_open();
    if (!buffer) raise(-3, "'" + name + "' is not a message buffer");
    return *buffer;
  }
  const zrdb::Command &caller() const {
    session->require_open();
    if (!command) raise(-3, "'" + name + "' has no servers to call");
    return *command;
  }
};

struct Message {
  int32_t sender;
  int32_t arg;
  py::bytes payload;
};

MessageBuffer msgbuf(Db &db, const py::object &key) {
  db.session->require_open();
  const Key k = resolve_key(key);
  MessageBuffer m{db.session, std::nullopt, std::nullopt, k.label};
  if (auto b = zrdb::MessageBuffer::at(k.id)) m.buffer = *b;
  auto c = zrdb::Command::at(k.id);
  if (c) m.command = *c;
  if (!m.buffer && !m.command)
    raise(c.error() == -3 ? zrdb::MessageBuffer::at(k.id).error() : c.error(), "'" + k.label + "'");
  return m;
}

std::span<const std::byte> payload_of(std::string_view p) {
  if (p.size() > ZRDB_MSGBUF_PAYLOAD)
    throw py::value_error("a payload holds at most " + std::to_string(ZRDB_MSGBUF_PAYLOAD) +
                          " bytes");
  return span_of(p);
}

void msg_write(const MessageBuffer &m, const py::bytes &payload, int32_t arg, int32_t sender) {
  const std::span<const std::byte> p = payload_of(bytes_of(payload));
  check(m.queue().write(sender, arg, p), "writing '" + m.name + "'");
}

py::object msg_read(const MessageBuffer &m) {
  const auto r = m.queue().read();
  if (r.error() == -1) return py::none();  // empty
  const zrdb::Message msg = checked(r, "reading '" + m.name + "'");
  const auto size = static_cast<size_t>(std::clamp<int32_t>(msg.size, 0, ZRDB_MSGBUF_PAYLOAD));
  return py::cast(Message{msg.from, msg.arg,
                          py::bytes(reinterpret_cast<const char *>(msg.payload.data()), size)});
}

void msg_call(const MessageBuffer &m, const py::bytes &payload, int32_t arg,
              const std::optional<double> &timeout) {
  const zrdb::Command command = m.caller();
  std::string bytes(payload_of(bytes_of(payload)).size(), '\0');
  std::memcpy(bytes.data(), std::string_view(payload).data(), bytes.size());
  if (timeout && !(*timeout >= 0 && *timeout < 2e6))
    throw py::value_error("a call's time-out is 0 to 2e6 seconds (None: as configured)");
  const auto ms = timeout ? std::chrono::milliseconds(static_cast<int64_t>(*timeout * 1000))
                          : std::chrono::milliseconds(-1);
  // Bounded by its time-out, so a detach waits for an abandoned call no longer.
  const int rc = run_abandonable(m.session, [command, bytes, arg, ms, configured = !timeout] {
    const std::span<const std::byte> p = span_of(bytes);
    return (configured ? command.call(p, arg) : command.call_for(p, arg, ms)).error();
  });
  if (rc != 0) raise(rc, "calling '" + m.name + "'");
}

void msg_post(const MessageBuffer &m, const py::bytes &payload, int32_t arg) {
  check(m.caller().post(payload_of(bytes_of(payload)), arg), "posting to '" + m.name + "'");
}

// ---------------------------------------------------------------------------

using RemoteBuffer = Handle<zrdb::RemoteBuffer>;

// The socket of a remote buffer this process opened, or -1.
int socket_of(int32_t id) {
  ZRDB_DIT &dit = zrdb_getInfoHdr()->dit[id];
  if (dit.op == nullptr || dit.op->d_ctrl == nullptr) return -1;
  ZRDB_RMTBUF_PARA para{};
  if (dit.op->d_ctrl(&dit, ZRDBRMTBUF_GETFD, reinterpret_cast<intptr_t>(&para)) != 0) return -1;
  return static_cast<int>(reinterpret_cast<intptr_t>(para.buf));
}

py::object remote_read(const RemoteBuffer &r, double timeout) {
  const zrdb::RemoteBuffer &h = r.use();
  const int fd = socket_of(h.id());
  if (fd < 0) raise(-3, "'" + r.name + "' has no socket open in this process");
  const bool ready = wait_in_slices(r.session, std::max(timeout, 0.0), [&](uint32_t us) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>((us + 999) / 1000)) > 0;
  });
  if (!ready) return py::none();
  std::string buf(65536, '\0');
  const auto n = checked(h.read(std::as_writable_bytes(std::span(buf.data(), buf.size()))),
                         "reading '" + r.name + "'");
  buf.resize(static_cast<size_t>(n));
  return py::bytes(buf);
}

// ---------------------------------------------------------------------------

// The master item's handle: VLINK transactions go through it.
zrdb::Vlink vlink_master(Db &db) {
  db.session->require_open();
  return checked(zrdb::Vlink::at(glb_vLinkDid), "the VLINK master item");
}

py::bytes vlink_get(Db &db, int32_t link, int32_t item, int32_t idx, int32_t size) {
  const zrdb::Vlink v = vlink_master(db);
  if (size < 0 || size > ZRDB_VLINK_DATA_MAX)
    throw py::value_error("a VLINK value is 0 to " + std::to_string(ZRDB_VLINK_DATA_MAX) +
                          " bytes");
  auto buf = std::make_shared<std::string>(static_cast<size_t>(size), '\0');
  const int rc = run_abandonable(db.session, [v, buf, link, item, idx] {
    return v.get_value(link, item, idx, std::as_writable_bytes(std::span(buf->data(), buf->size())))
        .error();
  });
  if (rc != 0)
    raise(rc, "VLINK get of item " + std::to_string(item) + " on link " + std::to_string(link));
  return py::bytes(*buf);
}

void vlink_set(Db &db, int32_t link, int32_t item, int32_t idx, const py::bytes &value) {
  const zrdb::Vlink v = vlink_master(db);
  std::string bytes(value);
  if (bytes.size() > ZRDB_VLINK_DATA_MAX)
    throw py::value_error("a VLINK value is at most " + std::to_string(ZRDB_VLINK_DATA_MAX) +
                          " bytes");
  const int rc = run_abandonable(db.session, [v, bytes, link, item, idx] {
    return v.set_value(link, item, idx, span_of(bytes)).error();
  });
  if (rc != 0)
    raise(rc, "VLINK set of item " + std::to_string(item) + " on link " + std::to_string(link));
}

// ---------------------------------------------------------------------------

// The statistics zrdbctl shows for the item, as a dict.
py::dict stats(Db &db, const py::object &key) {
  db.session->require_open();
  const Key k = resolve_key(key);
  if (k.index >= 0 || zrdb_symblink_check(k.id, 0, nullptr, nullptr) != 0)
    raise(-3, "'" + k.label + "' is not an item");
  if (const int rc = zrdb_checkItem(k.id); rc != 0) raise(rc, "'" + k.label + "'");
  const int type = zrdb_getType(k.id);
  if (type == ZRDB_TYPE_INTEGER || type == ZRDB_TYPE_STRING || type == ZRDB_TYPE_USER)
    raise(-3, "'" + k.label + "' holds values, not statistics");
  const zrdbctl::Snapshot snap = zrdbctl::take_snapshot(k.id);
  const py::dict all = py::module_::import("json").attr("loads")(zrdbctl::to_json(snap).dump());
  py::dict out;
  for (const auto &[name, value] : all) {
    const std::string n = py::str(name);
    if (n != "id" && n != "name" && n != "type") out[name] = value;
  }
  return out;
}

}  // namespace

void register_communication(py::module_ &m, DbClass &db) {
  py::class_<Semaphore>(m, "Semaphore", "A semaphore item.")
      .def(
          "post",
          [](const Semaphore &s, bool binary) {
            check(binary ? s.use().post_binary() : s.use().post(), "posting '" + s.name + "'");
          },
          py::arg("binary") = false,
          "Raises the count by one (binary: only to 1, or 2 when it is 1 already).")
      .def("wait", &sem_wait, py::arg("timeout") = py::none(),
           "Takes one count; False when `timeout` seconds passed first (None: no limit).")
      .def_property_readonly(
          "value",
          [](const Semaphore &s) {
            return checked(s.use().value(), "the count of '" + s.name + "'");
          },
          "The count.");
  py::class_<CircularBuffer> cbufClass(m, "CircularBuffer", "A circular buffer item.");
  cbufClass.def(
      "write", &cbuf_write, py::arg("message"), py::arg("data") = py::bytes(),
      "Queues one record; a full buffer loses its oldest. ValueError when it does not fit "
      "a slot.");
  def_typed(cbufClass, "read", &cbuf_read,
            "read(self) -> Optional[Tuple[bytes, bytes]]\n\n"
            "The oldest record as (message, data), or None when empty.");
  py::class_<Message>(m, "Message", "One message of a message buffer.")
      .def_readonly("sender", &Message::sender, "the sending item")
      .def_readonly("arg", &Message::arg)
      .def_readonly("payload", &Message::payload)
      .def("__repr__", [](const Message &msg) {
        return "Message(sender=" + std::to_string(msg.sender) + ", arg=" + std::to_string(msg.arg) +
               ", payload=" + std::string(py::repr(msg.payload)) + ")";
      });
  py::class_<MessageBuffer> msgbufClass(
      m, "MessageBuffer", "A message buffer, or an item whose servers are called through them.");
  def_typed(msgbufClass, "read", &msg_read,
            "read(self) -> Optional[Message]\n\nThe oldest message, or None when empty.");
  msgbufClass
      .def("write", &msg_write, py::arg("payload"), py::arg("arg") = 0, py::arg("sender") = 0)
      .def("clear",
           [](const MessageBuffer &b) { check(b.queue().clear(), "clearing '" + b.name + "'"); })
      .def("call", &msg_call, py::arg("payload"), py::arg("arg") = 0,
           py::arg("timeout") = py::none(),
           "Synchronous call of the item's servers: returns when each acknowledged; Timeout when "
           "one did not within `timeout` seconds (None: each server's configured time-out).")
      .def("post", &msg_post, py::arg("payload"), py::arg("arg") = 0,
           "Asynchronous call: to the servers that take calls without acknowledgement.");
  py::class_<RemoteBuffer> remoteClass(m, "RemoteBuffer",
                                       "A remote buffer item: one UDP endpoint.");
  remoteClass.def(
      "write",
      [](const RemoteBuffer &r, const py::bytes &data) {
        check(r.use().write(span_of(bytes_of(data))), "sending through '" + r.name + "'");
      },
      py::arg("data"), "Sends one datagram.");
  def_typed(remoteClass, "read", &remote_read,
            "read(self, timeout: float = 1.0) -> Optional[bytes]\n\n"
            "One datagram, or None when none came within `timeout` seconds.",
            py::arg("timeout") = 1.0);
  db.def("semaphore", &find<zrdb::Semaphore>, py::arg("key"))
      .def("cbuf", &find<zrdb::CircularBuffer>, py::arg("key"))
      .def("msgbuf", &msgbuf, py::arg("key"))
      .def("remote", &find<zrdb::RemoteBuffer>, py::arg("key"),
           "A remote buffer this process opened (listed in the application file).")
      .def("vlink_get", &vlink_get, py::arg("link"), py::arg("item_id"), py::arg("idx"),
           py::arg("size"), "`size` bytes of element idx of the peer's item, through VLINK.")
      .def("vlink_set", &vlink_set, py::arg("link"), py::arg("item_id"), py::arg("idx"),
           py::arg("value"), "Writes element idx of the peer's item, through VLINK.")
      .def(
          "link_state",
          [](Db &d, int32_t link) {
            return checked(vlink_master(d).status(link),
                           "the state of link " + std::to_string(link));
          },
          py::arg("link"), "The link's state word (1: up).");
  def_typed(db, "stats", &stats,
            "stats(self, key: Union[str, int]) -> Dict[str, Any]\n\n"
            "The statistics of a communication item, as zrdbctl shows them.",
            py::arg("key"));
}

}  // namespace zrdbpy
