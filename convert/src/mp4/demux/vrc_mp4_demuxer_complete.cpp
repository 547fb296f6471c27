// Whether an MP4 file is whole: what a run that ended early (a power cut, a
// full disk, a kill) never leaves behind. Only box headers are read, a few
// dozen of them, so that a run over thousands of outputs stays cheap. It
// shares nothing with the demuxer context and prints nothing.
#include <cstdint>
#include <cstdio>

#include "vrc_mp4_demuxer.h"
#include "vrc_mp4_demuxer_internal.h"
#include "vrc_platform.h"

namespace {

using vrc::mov_fourcc;

constexpr uint32_t kBoxHeaderSize = 8;
constexpr uint32_t kLargeBoxHeaderSize = 16;  // size 1: a 64-bit size follows the type

// Children a box must hold: each need is met by a child of its type or of
// its alternative (0: none).
struct Need {
    uint32_t type;
    uint32_t alternative;
};

struct BoxRule {
    uint32_t type;
    Need needs[5];  // ends at the first zero type
};

constexpr uint32_t kFile = 0;  // the rule of the file itself, whose children are the top-level boxes

// The way down from the file to every track's sample tables: a file whose
// moov was cut or overwritten misses one of them.
constexpr BoxRule kRules[] = {
    {kFile, {{mov_fourcc("moov"), 0}}},
    {mov_fourcc("moov"), {{mov_fourcc("mvhd"), 0}, {mov_fourcc("trak"), 0}}},
    {mov_fourcc("trak"), {{mov_fourcc("tkhd"), 0}, {mov_fourcc("mdia"), 0}}},
    {mov_fourcc("mdia"), {{mov_fourcc("mdhd"), 0}, {mov_fourcc("hdlr"), 0}, {mov_fourcc("minf"), 0}}},
    {mov_fourcc("minf"), {{mov_fourcc("stbl"), 0}}},
    {mov_fourcc("stbl"),
     {{mov_fourcc("stsd"), 0},
      {mov_fourcc("stts"), 0},
      {mov_fourcc("stsc"), 0},
      {mov_fourcc("stsz"), mov_fourcc("stz2")},
      {mov_fourcc("stco"), mov_fourcc("co64")}}},
};

const BoxRule *rule_of(uint32_t type)
{
    for (const BoxRule &rule : kRules)
        if (rule.type == type) return &rule;
    return nullptr;
}

enum class Verdict { whole, broken, unreadable };

struct Box {
    uint32_t type;
    uint64_t payload;  // file position of the payload
    uint64_t end;      // file position just behind the box
};

class BoxWalk {
public:
    explicit BoxWalk(std::FILE *file) : file_(file) {}

    // Checks that the boxes from begin to end fill it exactly and that they
    // meet rule's needs, each needed box that has a rule of its own
    // checked in turn (so the walk goes down the rules only, never deeper).
    Verdict check(uint64_t begin, uint64_t end, const BoxRule &rule)
    {
        bool met[5] = {};
        for (uint64_t at = begin; at < end;) {
            Box box;
            const Verdict header = read_header(at, end, &box);
            if (header != Verdict::whole) return header;
            for (int i = 0; i < 5 && rule.needs[i].type; ++i) {
                if (box.type != rule.needs[i].type && box.type != rule.needs[i].alternative) continue;
                met[i] = true;
                const BoxRule *inner = rule_of(box.type);
                const Verdict children = inner ? check(box.payload, box.end, *inner) : Verdict::whole;
                if (children != Verdict::whole) return children;
            }
            at = box.end;
        }
        for (int i = 0; i < 5 && rule.needs[i].type; ++i)
            if (!met[i]) return Verdict::broken;
        return Verdict::whole;
    }

private:
    // The header of the box at `at`, which must lie inside its parent (up
    // to end). Size 0 stretches a box to its parent's end; a header of
    // zeros is what a region never written reads as.
    Verdict read_header(uint64_t at, uint64_t end, Box *box)
    {
        const uint64_t room = end - at;
        if (room < kBoxHeaderSize) return Verdict::broken;
        uint8_t bytes[kLargeBoxHeaderSize];
        const size_t wanted = room < kLargeBoxHeaderSize ? static_cast<size_t>(room) : kLargeBoxHeaderSize;
        if (vrc::file_seek64(file_, static_cast<int64_t>(at), SEEK_SET) != 0) return Verdict::unreadable;
        if (std::fread(bytes, 1, wanted, file_) != wanted)
            return std::ferror(file_) ? Verdict::unreadable : Verdict::broken;
        vrc::MovCursor c(bytes, static_cast<uint32_t>(wanted));
        uint64_t size = c.be32();
        box->type = c.fourcc();
        uint32_t header = kBoxHeaderSize;
        if (size == 1) {
            size = c.be64();
            header = kLargeBoxHeaderSize;
        } else if (size == 0) {
            size = room;
        }
        if (!c.ok() || box->type == 0 || size < header || size > room) return Verdict::broken;
        box->payload = at + header;
        box->end = at + size;
        return Verdict::whole;
    }

    std::FILE *file_;
};

Verdict check_file(std::FILE *file)
{
    if (vrc::file_seek64(file, 0, SEEK_END) != 0) return Verdict::unreadable;
    const int64_t size = vrc::file_tell64(file);
    if (size < 0) return Verdict::unreadable;
    return BoxWalk(file).check(0, static_cast<uint64_t>(size), *rule_of(kFile));
}

}  // namespace

extern "C" VRC_API int vrc_mp4_demuxer_check_complete(const char *path)
{
    if (!path) return -1;
    std::FILE *file = vrc::file_open(path, "rb");
    if (!file) return -1;
    const Verdict verdict = check_file(file);
    std::fclose(file);
    return verdict == Verdict::whole ? 1 : verdict == Verdict::broken ? 0 : -1;
}
