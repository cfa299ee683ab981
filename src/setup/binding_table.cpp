#include "setup/binding_table.h"

#include "core.h"
#include "diag/log.h"

namespace zrdb {
namespace {

// Shorthands for the cells that recur.
constexpr ZRDB_ITEM_OPS kNone = {};
constexpr ZRDB_ITEM_OPS kGenericIgetIset = {.d_iget = zrdbgeneric_iget, .d_iset = zrdbgeneric_iset};
constexpr ZRDB_ITEM_OPS kGenericAccess = {.d_get = zrdbgeneric_get,
                                          .d_set = zrdbgeneric_set,
                                          .d_iget = zrdbgeneric_iget,
                                          .d_iset = zrdbgeneric_iset};
constexpr ZRDB_ITEM_OPS kUserCtrl = {.d_ctrl = zrdbuser_ctrl};
constexpr ZRDB_ITEM_OPS kIntegerDaemon = {
    .d_get = zrdbgeneric_get, .d_iget = zrdbgeneric_iget, .d_iset = zrdbgeneric_iset};
constexpr ZRDB_ITEM_OPS kSemapClient = {.d_open = zrdbsemp_open,
                                        .d_get = zrdbgeneric_get,
                                        .d_set = zrdbgeneric_set,
                                        .d_ctrl = zrdbsemp_ctrl,
                                        .d_close = zrdbsemp_close};
constexpr ZRDB_ITEM_OPS kMsgbufClient = {.d_ctrl = zrdbmsgbuf_ctrl, .d_free = zrdbmsgbuf_free};

// The link daemon's attaches announce the VLINK master they take over.
void announce_daemon_master(const char *caller, BindColumn column, const ZRDB_DIT & /*dit*/,
                            ZRDB_ITEM_OPS & /*ops*/) {
  if (column == kColVlinkDaemon)
    log_message(LogLevel::Info, caller, "HBUSER_VLINK_DAEMON at %d\n", 1207);
  if (column == kColInitDaemon)
    log_message(LogLevel::Info, caller, "HBUSER_VLINK_DAEMON at %d\n", 1487);
}

constexpr ZRDB_ITEM_OPS kRmtbufPrint = {.d_print = zrdbrmtbuf_print, .d_iprint = zrdbrmtbuf_iprint};
constexpr ZRDB_ITEM_OPS kRmtbufOpen = {
    .d_open = zrdbrmtbuf_open, .d_ctrl = zrdbrmtbuf_ctrl, .d_close = zrdbrmtbuf_close};

// A printing process opens the client end of a vlinkbuf item too.
void open_vlinkbuf_client(const char * /*caller*/, BindColumn column, const ZRDB_DIT &dit,
                          ZRDB_ITEM_OPS &ops) {
  if (column != kColPrint || !rmtbuf_client_role(dit)) return;
  ops.d_open = kRmtbufOpen.d_open;
  ops.d_ctrl = kRmtbufOpen.d_ctrl;
  ops.d_close = kRmtbufOpen.d_close;
}

// Rows by type code. A type whose handlers are not built yet binds nothing
// but still receives its initial value.
constexpr BindingRow kRows[ZRDB_TYPE_COUNT] = {
    // user
    {Fill::User,
     {kNone,
      kNone,
      {.d_print = zrdbuser_print},
      kUserCtrl,
      kGenericIgetIset,
      kUserCtrl,
      kGenericIgetIset}},
    // integer
    {Fill::Integer,
     {kNone,
      kNone,
      {.d_get = zrdbgeneric_get,
       .d_set = zrdbgeneric_set,
       .d_print = zrdbint_print,
       .d_iget = zrdbgeneric_iget,
       .d_iset = zrdbgeneric_iset,
       .d_iprint = zrdbint_iprint},
      kGenericAccess,
      kIntegerDaemon,
      kGenericAccess,
      kIntegerDaemon}},
    // string
    {Fill::String,
     {kNone,
      kNone,
      {.d_get = zrdbgeneric_get,
       .d_set = zrdbgeneric_set,
       .d_print = zrdbgeneric_print,
       .d_iget = zrdbgeneric_iget,
       .d_iset = zrdbgeneric_iset,
       .d_iprint = zrdbgeneric_iprint},
      kGenericAccess,
      kGenericIgetIset,
      kGenericAccess,
      kGenericIgetIset}},
    // semap. The allocating process closes the handle its d_create keeps:
    // without d_close every allocation leaked one mapping per semaphore.
    {Fill::Semap,
     {{.d_create = zrdbsemp_create, .d_close = zrdbsemp_close},
      {.d_free = zrdbsemp_free},
      {.d_open = zrdbsemp_open,
       .d_get = zrdbgeneric_get,
       .d_set = zrdbgeneric_set,
       .d_print = zrdbsemp_print,
       .d_ctrl = zrdbsemp_ctrl,
       .d_close = zrdbsemp_close},
      kSemapClient,
      kSemapClient,
      kSemapClient,
      kNone}},
    // cbuf
    {Fill::None,
     {{.d_create = zrdbcbuf_create},
      kNone,
      {.d_print = zrdbcbuf_print},
      {.d_ctrl = zrdbcbuf_ctrl},
      kNone,
      {.d_print = zrdbcbuf_print, .d_ctrl = zrdbcbuf_ctrl},
      kNone}},
    // vlinkmst
    {Fill::Vlink,
     {{.d_create = zrdbvlmst_create},
      {.d_free = zrdbvlmst_free},
      {.d_open = zrdbvlmst_open,
       .d_get = zrdbgeneric_get,
       .d_print = zrdbgeneric_print,
       .d_iget = zrdbgeneric_iget,
       .d_ctrl = zrdbvlmst_ctrl,
       .d_close = zrdbvlmst_close},
      {.d_open = zrdbvlmst_open,
       .d_get = zrdbgeneric_get,
       .d_iget = zrdbgeneric_iget,
       .d_ctrl = zrdbvlmst_ctrl,
       .d_close = zrdbvlmst_close},
      {.d_open = zrdbvlmst_daemon_open,
       .d_get = zrdbgeneric_get,
       .d_iget = zrdbgeneric_iget,
       .d_ctrl = zrdbvlmst_daemon_ctrl,
       .d_close = zrdbvlmst_daemon_close},
      {.d_open = zrdbvlmst_open, .d_ctrl = zrdbvlmst_ctrl, .d_close = zrdbvlmst_close},
      {.d_open = zrdbvlmst_daemon_open,
       .d_get = zrdbgeneric_get,
       .d_ctrl = zrdbvlmst_daemon_ctrl,
       .d_close = zrdbvlmst_daemon_close}},
     announce_daemon_master},
    // vlinkslv
    {Fill::Vlink,
     {kNone,
      kNone,
      {.d_get = zrdbgeneric_get,
       .d_set = zrdbgeneric_set,
       .d_print = zrdbgeneric_print,
       .d_iget = zrdbgeneric_iget,
       .d_iset = zrdbgeneric_iset,
       .d_iprint = zrdbgeneric_iprint,
       .d_ctrl = zrdbvlslv_ctrl},
      {.d_get = zrdbgeneric_get,
       .d_set = zrdbgeneric_set,
       .d_iget = zrdbgeneric_iget,
       .d_iset = zrdbgeneric_iset,
       .d_ctrl = zrdbvlslv_ctrl},
      {.d_get = zrdbgeneric_get, .d_iget = zrdbgeneric_iget, .d_ctrl = zrdbvlslv_ctrl},
      kNone,
      {.d_get = zrdbgeneric_get, .d_ctrl = zrdbvlslv_ctrl}}},
    // msgbuf
    {Fill::None,
     {{.d_create = zrdbmsgbuf_create},
      kNone,
      {.d_print = zrdbmsgbuf_print, .d_ctrl = zrdbmsgbuf_ctrl, .d_free = zrdbmsgbuf_free},
      kMsgbufClient,
      kMsgbufClient,
      kMsgbufClient,
      kNone}},
    // thrd_rbuf
    {Fill::None,
     {{.d_create = zrdbthrdrbuf_create},
      kNone,
      {.d_print = zrdbthrdrbuf_print, .d_iprint = zrdbthrdrbuf_iprint},
      kNone,
      kNone,
      {.d_open = zrdbthrdrbuf_open, .d_ctrl = zrdbthrdrbuf_ctrl, .d_close = zrdbthrdrbuf_close},
      kNone}},
    // thrd_fifo
    {Fill::None,
     {{.d_create = zrdbthrdfifo_create},
      kNone,
      {.d_print = zrdbthrdfifo_print, .d_iprint = zrdbthrdfifo_iprint},
      kNone,
      kNone,
      {.d_open = zrdbthrdfifo_open, .d_ctrl = zrdbthrdfifo_ctrl, .d_close = zrdbthrdfifo_close},
      kNone}},
    // rmtbuf
    {Fill::Rmtbuf,
     {{.d_create = zrdbrmtbuf_create}, kNone, kRmtbufPrint, kNone, kNone, kRmtbufOpen, kNone}},
    // vlinkbuf
    {Fill::Rmtbuf,
     {{.d_create = zrdbrmtbuf_create},
      kNone,
      kRmtbufPrint,
      kNone,
      kRmtbufOpen,
      kRmtbufOpen,
      kRmtbufOpen},
     open_vlinkbuf_client},
};

}  // namespace

const BindingRow *binding_row(int32_t type) {
  if (type < 0 || type >= ZRDB_TYPE_COUNT) return nullptr;
  return &kRows[type];
}

BindColumn whole_list_column(int32_t mode) {
  switch (mode) {
    case HBUSER_ALLOCATE:
      return kColAllocate;
    case HBUSER_REMOVE:
      return kColRemove;
    case HBUSER_PRINT:
      return kColPrint;
    case HBUSER_CLIENT:
    case HBUSER_COMPONENT:
      return kColClient;
    case HBUSER_VLINK_DAEMON:
      return kColVlinkDaemon;
    default:
      return kColumnCount;
  }
}

}  // namespace zrdb
