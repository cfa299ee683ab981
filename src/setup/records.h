// Layout checks of the shared-memory records. Every process of a system,
// however it was built, must agree on these sizes and offsets.
#pragma once

#include <cstddef>

#include "zrdb.h"

namespace zrdb {

static_assert(sizeof(ZRDB_SYS_HDR) == ZRDB_SYS_HDR_SIZE);
static_assert(offsetof(ZRDB_SYS_HDR, magic) == 0);
static_assert(offsetof(ZRDB_SYS_HDR, name) == 4);
static_assert(offsetof(ZRDB_SYS_HDR, size) == 36);
static_assert(offsetof(ZRDB_SYS_HDR, maxDid) == 40);
static_assert(offsetof(ZRDB_SYS_HDR, key) == 44);

static_assert(sizeof(ZRDB_ITEM_DESC) == ZRDB_ITEM_DESC_SIZE);
static_assert(offsetof(ZRDB_ITEM_DESC, name) == 0);
static_assert(offsetof(ZRDB_ITEM_DESC, did) == 32);
static_assert(offsetof(ZRDB_ITEM_DESC, flags) == 36);
static_assert(offsetof(ZRDB_ITEM_DESC, size) == 40);
static_assert(offsetof(ZRDB_ITEM_DESC, elemSize) == 44);
static_assert(offsetof(ZRDB_ITEM_DESC, count) == 48);
static_assert(offsetof(ZRDB_ITEM_DESC, mapB) == 52);
static_assert(offsetof(ZRDB_ITEM_DESC, mapC) == 54);
static_assert(offsetof(ZRDB_ITEM_DESC, mapA) == 56);
static_assert(offsetof(ZRDB_ITEM_DESC, type) == 60);
static_assert(offsetof(ZRDB_ITEM_DESC, reserved) == 64);
static_assert(offsetof(ZRDB_ITEM_DESC, offset) == 192);
static_assert(offsetof(ZRDB_ITEM_DESC, rt) + offsetof(ZRDB_RT_CTRL, rtA) == 196);
static_assert(offsetof(ZRDB_ITEM_DESC, rt) + offsetof(ZRDB_RT_CTRL, rtB) == 216);
static_assert(offsetof(ZRDB_ITEM_DESC, rt) + offsetof(ZRDB_RT_CTRL, rtC) == 236);
static_assert(offsetof(ZRDB_ITEM_DESC, rt) + offsetof(ZRDB_RT_CTRL, rtTimeout) == 256);
static_assert(offsetof(ZRDB_ITEM_DESC, rt) + offsetof(ZRDB_RT_CTRL, rtCount) == 276);
static_assert(offsetof(ZRDB_ITEM_DESC, syncto) + offsetof(ZRDB_SYNCTO, rmtDid) == 280);
static_assert(offsetof(ZRDB_ITEM_DESC, syncto) + offsetof(ZRDB_SYNCTO, remoteId) == 284);
static_assert(offsetof(ZRDB_ITEM_DESC, syncto) + offsetof(ZRDB_SYNCTO, mode) == 288);

static_assert(ZRDB_INDEX_SIZE == ZRDB_SYS_HDR_SIZE + ZRDB_MAX_ITEMS * ZRDB_ITEM_DESC_SIZE);

// The line parser's size/map block mirrors descriptor bytes 44..59.
static_assert(sizeof(ZRDB_SIZE_MAP) == 16);
static_assert(offsetof(ZRDB_SIZE_MAP, mapB) == offsetof(ZRDB_ITEM_DESC, mapB) - 44);
static_assert(offsetof(ZRDB_SIZE_MAP, mapA) == offsetof(ZRDB_ITEM_DESC, mapA) - 44);

static_assert(sizeof(ZRDB_SYMBLINK) == 136);
static_assert(offsetof(ZRDB_SYMBLINK, count) == 128);
static_assert(offsetof(ZRDB_SYMBLINK, pairSize) == 132);
static_assert(offsetof(ZRDB_SYMBLINK, pairs) == 136);

static_assert(sizeof(ZRDB_KEYMAP) == 36);
static_assert(sizeof(ZRDB_SYMPAIR) == 4);

}  // namespace zrdb
