// The muxer's frame table: its columns lie in one reservation of address
// space, each column's part page-aligned, and pages are committed a step of
// frames at a time as the packet writer reaches them.
#include <iterator>

#include "vrc_mp4_muxer_internal.h"
#include "vrc_platform.h"

namespace {

// Windows commits and reserves in these units; a multiple of every page size.
constexpr size_t kGranule = 64u << 10;

size_t round_up(size_t bytes) { return (bytes + kGranule - 1) / kGranule * kGranule; }

// Bytes per frame of each column, in the order they lie in the block.
constexpr size_t kColumnWidths[] = {sizeof(mov_frame_info_t), sizeof(int32_t), sizeof(uint32_t), sizeof(uint8_t)};
static_assert(sizeof(mov_frame_info_t) == 12, "the frame record is three 32-bit words");

// Commits the first `frames` entries of every column.
bool commit_columns(vrc::MovFrameTable &t, uint32_t frames)
{
    size_t column = 0;
    for (size_t width : kColumnWidths) {
        if (!vrc::page_commit(t.block, column, round_up(width * frames))) return false;
        column += round_up(width * size_t{t.capacity});
    }
    return true;
}

}  // namespace

bool vrc::mov_table_reserve(MovFrameTable &t, uint32_t capacity)
{
    t = MovFrameTable{};
    size_t column[std::size(kColumnWidths)] = {};
    size_t total = 0;
    for (size_t i = 0; i < std::size(kColumnWidths); ++i) {
        column[i] = total;
        total += round_up(kColumnWidths[i] * size_t{capacity});
    }
    t.block = page_reserve(total);
    if (!t.block) return false;
    auto *base = static_cast<uint8_t *>(t.block);
    t.frames = reinterpret_cast<mov_frame_info_t *>(base + column[0]);
    t.composition = reinterpret_cast<int32_t *>(base + column[1]);
    t.late_places = reinterpret_cast<uint32_t *>(base + column[2]);
    t.description_of = base + column[3];
    t.capacity = capacity;
    t.block_size = total;
    return true;
}

bool vrc::mov_table_make_room(MovFrameTable &t, uint32_t index)
{
    if (index < t.committed) return true;
    if (index >= t.capacity) return false;
    const uint32_t step = t.capacity - t.committed < MOV_TABLE_COMMIT_STEP ? t.capacity - t.committed
                                                                           : MOV_TABLE_COMMIT_STEP;
    if (!commit_columns(t, t.committed + step)) return false;
    t.committed += step;
    return true;
}

void vrc::mov_table_release(MovFrameTable &t)
{
    page_release(t.block, t.block_size);
    t = MovFrameTable{};
}
