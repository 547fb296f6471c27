// The MP4 demuxer reads back what the library writes: every fixture packed
// as a legacy recording, converted (sample tables, also with the frames
// beyond 2 GiB) and muxed with the defaults (private records), comes out
// frame for frame as the packed access units in Annex B form, with the audio
// bytes unchanged, and seeks by calendar time land on the key frame at or
// before that time.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "h264_access_units.h"
#include "legacy_record_packer.h"
#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_convert.h"
#include "vrc_mp4_demuxer.h"

namespace {

using mp4_test::Bytes;

const std::string kDataDir = VRC_TEST_DATA_DIR;
constexpr int kBufferSize = 1 << 20;

// Where a recording's frames are read from.
enum Source {
    kTables,      // converted: the sample tables describe the frames
    kPrivate,     // muxed with the muxer's defaults: mr00 and a private record per frame
    kBeyond2GiB,  // converted, then its frames moved behind a 3 GiB hole of a sparse file
    kBeyond4GiB,  // the same behind 5 GiB, its chunk offsets 64-bit (co64)
};
const char *const kSourceNames[] = {"sample tables", "private records", "beyond 2 GiB", "beyond 4 GiB"};
#ifdef _WIN32
constexpr Source kSources[] = {kTables, kPrivate};  // no files of several GiB there
#else
constexpr Source kSources[] = {kTables, kPrivate, kBeyond2GiB, kBeyond4GiB};

// A converted recording with its frames behind `hole` bytes of a sparse
// file (a free box in front of mdat), its chunk offsets moved to match:
// 64-bit ones (co64) when they pass 32 bits. moov is the last box, so it may
// grow; the tables of track 1 first, so that track 0's stay where they are.
std::string moved_behind_hole(const std::string &small, uint64_t hole)
{
    using mp4_test::u32;
    Bytes file = vrc_test::read_file(small);
    const size_t mdat = mp4_test::find_box(file, "mdat").offset;
    const bool wide = hole > UINT32_MAX / 2;
    for (const std::string trak : {"moov/trak[1]", "moov/trak[0]"}) {
        const mp4_test::Box stco = mp4_test::find_box(file, trak + "/mdia/minf/stbl/stco");
        Bytes entries;
        for (size_t at = stco.offset + 16; at < stco.offset + stco.size; at += 4) {
            const uint64_t offset = mp4_test::be32(file, at) + hole;
            entries = mp4_test::cat({entries, wide ? u32(uint32_t(offset >> 32)) : Bytes{}, u32(uint32_t(offset))});
        }
        const Bytes table = mp4_test::cat({u32(uint32_t(16 + entries.size())), mp4_test::tag(wide ? "co64" : "stco"),
                                           u32(0), u32(mp4_test::be32(file, stco.offset + 12)), entries});
        file.erase(file.begin() + long(stco.offset), file.begin() + long(stco.offset + stco.size));
        file.insert(file.begin() + long(stco.offset), table.begin(), table.end());
        for (const std::string box : {"moov", "", "/mdia", "/mdia/minf", "/mdia/minf/stbl"}) {
            const size_t at = mp4_test::find_box(file, box == "moov" ? box : trak + box).offset;
            const Bytes grown = u32(uint32_t(mp4_test::be32(file, at) + table.size() - stco.size));
            std::copy(grown.begin(), grown.end(), file.begin() + long(at));
        }
    }
    const std::string large = small + (wide ? ".beyond4g.mp4" : ".beyond2g.mp4");
    const Bytes free = mp4_test::cat({u32(1), mp4_test::tag("free"), u32(uint32_t(hole >> 32)), u32(uint32_t(hole))});
    std::ofstream out(large, std::ios::binary);
    out.write(reinterpret_cast<const char *>(file.data()), std::streamsize(mdat));
    out.write(reinterpret_cast<const char *>(free.data()), std::streamsize(free.size()));
    out.seekp(std::streamoff(mdat + hole));
    out.write(reinterpret_cast<const char *>(file.data() + mdat), std::streamsize(file.size() - mdat));
    return large;
}
#endif

// A frame as the demuxer must deliver it.
struct Expected {
    Bytes data;
    uint8_t track_id, frame_type;
    uint32_t timestamp, utctime;
    size_t plan_index;
};

// A frame's bytes as the library hands them on: audio unchanged; a picture
// with 4-byte start codes, the parameter sets of a key frame, then every NAL
// unit from the first slice on (delimiter and SEI in front of it are not kept).
Bytes delivered(const vrc_pack::Frame &f)
{
    if (f.type == vrc_pack::kTypeAudio) return Bytes(f.data, f.data + f.size);
    Bytes out;
    bool in_picture = false;
    for (const vrc_pack::NalUnit &nal : vrc_pack::split_nal_units(f.data, f.size)) {
        in_picture = in_picture || nal.type == 1 || nal.type == 5;
        if (!in_picture && !(f.type == vrc_pack::kTypeVideoI && (nal.type == 7 || nal.type == 8))) continue;
        size_t at = nal.begin;
        while (f.data[at] == 0) ++at;
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), f.data + at + 1, f.data + nal.end);
    }
    return out;
}

struct Recording {
    Bytes video, audio;
    std::vector<vrc_pack::Frame> plan;
    std::string legacy_path;

    explicit Recording(const std::string &stream)
        : video(vrc_test::read_file(kDataDir + "/" + stream)),
          audio(vrc_test::read_file(kDataDir + "/tone_8000hz_mulaw.ul")),
          plan(vrc_pack::plan_frames(video, audio, 25, vrc_pack::kDefaultStart)),
          legacy_path(vrc_test::temp_path(stream + ".rec"))
    {
        vrc_test::write_file(legacy_path, vrc_pack::pack_recording(plan, {}).bytes);
    }

    // Table mode counts each track's time from its first frame; private
    // mode keeps the packets' own timestamps.
    std::vector<Expected> expected(bool private_mode) const
    {
        std::vector<Expected> out;
        uint32_t first[2] = {};
        bool seen[2] = {};
        for (size_t i = 0; i < plan.size(); ++i) {
            const vrc_pack::Frame &f = plan[i];
            const uint8_t track = f.type == vrc_pack::kTypeAudio ? 1 : 0;
            if (!seen[track]) first[track] = f.timestamp, seen[track] = true;
            const uint32_t ts = private_mode ? f.timestamp : f.timestamp - first[track];
            const uint8_t type =
                track == 1 ? VRC_FRAME_AUDIO : f.type == vrc_pack::kTypeVideoI ? VRC_FRAME_I : VRC_FRAME_P;
            // The recording starts at a whole second; each track's clock at its first frame.
            const uint32_t utc = vrc_pack::kDefaultStart + (private_mode ? ts : first[track] / 1000 * 1000 + ts) / 1000;
            out.push_back({delivered(f), track, type, ts, utc, i});
        }
        return out;
    }

    std::string file(Source source) const
    {
        if (source == kPrivate) return mux_private();
        EXPECT_EQ(vrc_convert_mp4(legacy_path.c_str()), 0);
        const std::string converted = legacy_path + ".mp4";
#ifndef _WIN32
        if (source == kBeyond2GiB) return moved_behind_hole(converted, 3ull << 30);
        if (source == kBeyond4GiB) return moved_behind_hole(converted, 5ull << 30);
#endif
        return converted;
    }

    std::string mux_private() const
    {
        mp4_test::TestMuxer m({true, true}, {mp4_test::video_track(), mp4_test::audio_track()},
                              legacy_path + ".private.mp4", vrc_pack::kDefaultStart, 0);
        for (const Expected &e : expected(true)) {
            const vrc_pack::Frame &f = plan[e.plan_index];
            EXPECT_EQ(m.put(e.track_id, e.frame_type, f.timestamp, Bytes(f.data, f.data + f.size), f.utctime), 0);
        }
        m.finish();
        return m.path;
    }
};

struct Demuxer {
    vrc_mp4_demuxer_t *ctx;
    std::vector<uint8_t> buf = std::vector<uint8_t>(kBufferSize);

    std::string path;

    explicit Demuxer(const std::string &file) : ctx(vrc_mp4_demuxer_new(0, file.c_str())), path(file)
    {
        EXPECT_NE(ctx, nullptr);
        if (!ctx) return;
        EXPECT_EQ(vrc_mp4_demuxer_read_header(ctx), 0);
    }
    ~Demuxer() { vrc_mp4_demuxer_free(ctx); }
};

// Calendar time whose reading in the host zone is the UTC second t.
vrc_date_time_t calendar(int64_t t)
{
    const int64_t drift = vrc_date_time_to_gmtime(vrc_gmtime_to_date_time(t, 0, 0, 0)) - t;
    return vrc_gmtime_to_date_time(t - drift, 0, 0, 0);
}

// The frame read is the one expected, its bytes included.
void expect_frame(const vrc_media_packet_t &got, const Expected &want)
{
    const Bytes data(got.data, got.data + got.size);
    EXPECT_EQ(got.track_id, want.track_id);
    EXPECT_EQ(got.frame_type, want.frame_type);
    EXPECT_EQ(got.key_frame, want.frame_type == VRC_FRAME_I);
    EXPECT_EQ(got.codec_id, want.track_id == 0 ? VRC_CODEC_H264 : VRC_CODEC_G711U);
    EXPECT_EQ(got.timestamp, want.timestamp);
    EXPECT_EQ(got.utctime, want.utctime);
    EXPECT_TRUE(data == want.data) << data.size() << " bytes read, " << want.data.size() << " expected";
}

class DemuxFixture : public ::testing::TestWithParam<const char *> {};

// Every frame reads back; after a seek the next video frame is the last key
// frame at or before the time; private mode reads on in file order from it,
// table mode resumes the audio at its first frame not before the time (or
// not at all past its end).
TEST_P(DemuxFixture, ReadsBackEveryFrameAndSeeksToKeyFrames)
{
    const Recording rec(GetParam());
    for (const Source source : kSources) {
        SCOPED_TRACE(kSourceNames[source]);
        const bool private_mode = source == kPrivate;
        const std::vector<Expected> want = rec.expected(private_mode);
        Demuxer d(rec.file(source));
        ASSERT_NE(d.ctx, nullptr);
        const int64_t duration = d.ctx->duration;
        // Second -1: reading from the start, with no seek, gives every frame.
        for (const int64_t second : {int64_t{-1}, int64_t{0}, int64_t{1}, duration / 2, duration}) {
            SCOPED_TRACE("second " + std::to_string(second));
            if (second >= 0) {
                ASSERT_EQ(vrc_mp4_demuxer_seek(d.ctx, calendar(int64_t{vrc_pack::kDefaultStart} + second)), 0);
            }
            const uint32_t target = want[0].timestamp + uint32_t(std::max(second, int64_t{0})) * 1000;
            size_t key = 0, audio = want.size();
            for (size_t i = 0; i < want.size(); ++i) {
                if (want[i].frame_type == VRC_FRAME_I && want[i].timestamp <= target) key = i;
                if (want[i].track_id == 1 && want[i].timestamp >= target && audio == want.size()) audio = i;
            }
            std::vector<size_t> next;
            for (size_t i = 0; i < want.size(); ++i)
                if (private_mode ? i >= key : (want[i].track_id == 0 ? i >= key : i >= audio)) next.push_back(i);
            // Reads until the first failure.
            size_t read = 0;
            vrc_media_packet_t got;
            int end;
            while ((end = vrc_mp4_demuxer_read_packet(d.ctx, &got, d.buf.data(), int(d.buf.size()))) == 0) {
                ASSERT_LT(read, next.size());
                expect_frame(got, want[next[read++]]);
            }
            EXPECT_EQ(end, private_mode ? VRC_ERR_MP4_NO_FRAME_RECORD : -1);
            EXPECT_EQ(read, next.size());
        }
        EXPECT_EQ(vrc_mp4_demuxer_seek(d.ctx, calendar(int64_t{vrc_pack::kDefaultStart} + duration + 1)), -1);
        EXPECT_EQ(vrc_mp4_demuxer_seek(d.ctx, calendar(int64_t{vrc_pack::kDefaultStart} - 1)), -1);
        // A host's own record cannot be told where such samples lie: it reads none.
        const auto host = std::make_unique<vrc_mp4_demuxer_t>();
        ASSERT_EQ(vrc_mp4_demuxer_init(host.get(), 0, d.path.c_str()), 0);
        vrc_mp4_demuxer_read_header(host.get());
        vrc_media_packet_t first;
        EXPECT_EQ(vrc_mp4_demuxer_read_packet(host.get(), &first, d.buf.data(), int(d.buf.size())) == 0,
                  source != kBeyond4GiB);
        vrc_mp4_demuxer_free(host.get());
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DemuxFixture,
                         ::testing::Values("cam_320x240_25fps.h264", "cam_320x240_aud.h264",
                                           "cam_320x240_slices4.h264", "cam_704x576_4x3.h264",
                                           "cam_1920x1080_large_i.h264"));

}  // namespace
