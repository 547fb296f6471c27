// The MP4 demuxer on files it must not trust, and its edges: positions
// beyond 4 GiB, samples the file does not hold, a buffer one byte short,
// ADTS headers, timescales, the probe. Each case starts from a file the
// muxer wrote, damages it, and requires the reading to stay inside its
// memory (the sanitizer build checks that), to end, and to keep what is sound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_mp4_demuxer.h"
#include "vrc_mp4_reader.h"

namespace {

using mp4_test::be32;
using mp4_test::Bytes;
using mp4_test::cat;
using mp4_test::find_box;
using mp4_test::tag;
using mp4_test::u32;

constexpr int kMaxReads = 10000;  // far more than any case holds: a reader that loops fails

Bytes box(const char (&type)[5], const Bytes &payload)
{
    return cat({u32(uint32_t(payload.size() + 8)), tag(type), payload});
}

const Bytes kSps = mp4_test::hex("6742c01edb02802dd80880000003008000001e078b1760");
const Bytes kPps = mp4_test::hex("68ce3c80");

// Four video frames (key, P, key, P) and four audio frames, from the muxer;
// without the tail, as a recorder that died leaves them.
Bytes muxed(bool private_records, uint32_t audio_codec = VRC_CODEC_G711U, uint32_t rate = 8000, bool tail = true,
            bool pre_sized = false)
{
    mp4_test::TestMuxer m({private_records, pre_sized},
                          {mp4_test::video_track(), mp4_test::audio_track(audio_codec, rate)});
    const bool aac = audio_codec == VRC_CODEC_AAC;
    for (uint32_t i = 0; i < 4; ++i) {
        const bool key = i % 2 == 0;
        const Bytes video = key ? mp4_test::annexb({kSps, kPps, mp4_test::nal(0x65, 60)})
                                : mp4_test::annexb({mp4_test::nal(0x41, 30)});
        EXPECT_EQ(m.put(mp4_test::kVideo, key ? VRC_FRAME_I : VRC_FRAME_P, i * 40, video), 0);
        const Bytes audio(aac ? 57 : 50, uint8_t(0x20 + i));
        EXPECT_EQ(m.put(mp4_test::kAudio, aac ? VRC_FRAME_AUDIO_ADTS : VRC_FRAME_AUDIO, i * 40 + 40, audio), 0);
    }
    if (tail) return m.finish();
    vrc_mp4_muxer_flush(m.muxer);
    return vrc_test::read_file(m.path);
}

void put(Bytes &file, size_t at, const Bytes &b) { std::copy(b.begin(), b.end(), file.begin() + long(at)); }
void put32(Bytes &file, size_t at, uint32_t v) { put(file, at, u32(v)); }

// Payload offset of a box found by path.
size_t payload(const Bytes &file, const std::string &path) { return find_box(file, path).offset + 8; }

struct Reading {
    vrc_mp4_demuxer_t *ctx = nullptr;
    std::vector<vrc_media_packet_t> packets;
    std::vector<Bytes> data;
    int end = 0;
    std::string log;
};

// Opens the bytes as a file, walks it and reads every frame into a buffer of
// `buffer_size` bytes, until the first failure.
void read_file(const Bytes &file, const std::function<void(Reading &)> &check, size_t buffer_size = 1 << 16)
{
    const std::string path = vrc_test::temp_path("hostile_" + std::to_string(file.size()) + ".mp4");
    vrc_test::write_file(path, file);
    mp4_test::LogMark mark;
    Reading r;
    r.ctx = vrc_mp4_demuxer_new(0, path.c_str());
    ASSERT_NE(r.ctx, nullptr);
    EXPECT_EQ(vrc_mp4_demuxer_read_header(r.ctx), 0);
    std::vector<uint8_t> buf(buffer_size);
    vrc_media_packet_t p;
    for (int i = 0; i < kMaxReads && (r.end = vrc_mp4_demuxer_read_packet(r.ctx, &p, buf.data(), int(buf.size()))) == 0;
         ++i) {
        r.packets.push_back(p);
        r.data.emplace_back(p.data, p.data + p.size);
    }
    EXPECT_NE(r.end, 0) << "reading did not end";
    r.log = mark.since();
    check(r);
    vrc_mp4_demuxer_free(r.ctx);
}

// Damage to each table of a converted file: a position beyond the file's
// end (at 4 GiB) in the audio index ends it in front of it; the index ends
// in front of a video sample the file does not hold whole; video times count in the track's units
// (milliseconds are floor(t * 1000 / timescale) of the exact sum); a file
// without mvhd has no creation time. The co64 box appended behind moov still
// belongs to the last track (the audio track, slot 1): the walk takes boxes as
// they come. (More damaged files are in the fuzz corpus, which the suite replays.)
TEST(Hostile, DamagedTablesKeepWhatIsSound)
{
    Bytes f = muxed(false);
    const size_t stco = find_box(f, "moov/trak[1]/mdia/minf/stbl/stco").offset;
    const size_t last = payload(f, "moov/trak[0]/mdia/minf/stbl/stsz") + 12 + 3 * 4;
    put32(f, last, be32(f, last) + 10000);
    put32(f, payload(f, "moov/trak[0]/mdia/mdhd") + 12, 3);
    put(f, find_box(f, "moov/mvhd").offset + 4, tag("mvhX"));
    f = cat({f, box("co64", cat({u32(0), u32(4), u32(0), u32(1000), u32(1), u32(0), u32(0), u32(2000), u32(0), u32(3000)}))});
    put(f, stco + 4, tag("free"));  // the stco stays unread
    read_file(f, [](Reading &r) {
        EXPECT_EQ(r.ctx->nr_audio_frames, 1u);
        EXPECT_EQ(r.ctx->audio_frames[0].file_pos, 1000u);
        EXPECT_NE(r.log.find("sample 1 starts past the end of the file"), std::string::npos);
        ASSERT_EQ(r.packets.size(), 4u);  // the picture the file holds in part is not delivered
        EXPECT_EQ(r.ctx->creation_time, 0u);
        std::vector<uint32_t> video;
        for (const vrc_media_packet_t &p : r.packets)
            if (p.track_id == 0) video.push_back(p.timestamp);
        EXPECT_EQ(video, (std::vector<uint32_t>{0, 13333, 26666}));
    });
}

// A recording whose tail was never written (its mdat size still 0) gives
// back every frame from its private records; a video track without stss
// (others leave it out when every picture is a key frame) has only key frames.
TEST(DemuxerDelivery, UnfinishedRecordingAndVideoWithoutStss)
{
    read_file(muxed(true, VRC_CODEC_G711U, 8000, false), [](Reading &r) { EXPECT_EQ(r.packets.size(), 8u); });
    Bytes f = muxed(false);
    put(f, find_box(f, "moov/trak[0]/mdia/minf/stbl/stss").offset + 4, tag("free"));
    read_file(f, [](Reading &r) {
        EXPECT_EQ(std::count_if(r.packets.begin(), r.packets.end(),
                                [](const vrc_media_packet_t &p) { return p.track_id == 0 && p.key_frame; }), 4);
    });
}

// Samples the public reader delivers from the file, its tracks described
// with the milliseconds of the recording's records.
size_t reader_samples(const Bytes &file)
{
    const std::string path = vrc_test::temp_path("reader_" + std::to_string(file.size()) + ".mp4");
    vrc_test::write_file(path, file);
    vrc_mp4_reader_t *reader = vrc_mp4_reader_open(path.c_str());
    if (!reader) return 0;
    vrc_mp4_track_t track{};
    track.size = sizeof track;
    EXPECT_EQ(vrc_mp4_reader_track_count(reader), 2);
    EXPECT_EQ(vrc_mp4_reader_track(reader, 1, &track), 0);
    EXPECT_EQ(track.timescale, 1000u);
    EXPECT_EQ(track.codec_id, uint32_t(VRC_CODEC_G711U));
    std::vector<uint8_t> buf(1 << 16);
    vrc_mp4_sample_t s{};
    s.size = sizeof s;
    size_t n = 0;
    while (n < kMaxReads && vrc_mp4_reader_read(reader, buf.data(), uint32_t(buf.size()), &s) == 0) ++n;
    vrc_mp4_reader_close(reader);
    return n;
}

// A recording whose moov was never written, its mdat size left at 0 or
// pre-sized (zeros behind the last frame), cut anywhere from the start of
// mdat to its end (at every frame's end, a byte short of it, inside the next
// record's type, and 20 points between): the demuxer and the public reader
// give back the whole recording's frames up to the last one the cut leaves
// whole, byte for byte with their stamps; the creation time comes from mr00
// and the frame cut (in its records or its sample) is counted.
TEST(Hostile, RecordingWithoutMoovCutAnywhere)
{
    for (const bool pre_sized : {false, true}) {
        Bytes whole = muxed(true, VRC_CODEC_G711U, 8000, false, pre_sized);
        const size_t frames_end = whole.size();
        whole.resize(whole.size() + (pre_sized ? 300 : 0));
        std::vector<size_t> ends;  // where each frame's unit ends, in file order
        Reading all;
        size_t mdat = 0;  // where the frames start
        read_file(whole, [&](Reading &r) {
            all = r;
            mdat = r.ctx->mdat_pos;
            for (uint32_t i = 0; i < r.ctx->nr_video_frames + r.ctx->nr_audio_frames; ++i) {
                const mov_frame_entry_t &e = i < r.ctx->nr_video_frames ? r.ctx->video_frames[i]
                                                                        : r.ctx->audio_frames[i - r.ctx->nr_video_frames];
                ends.push_back(e.file_pos + e.info.size);
            }
        });
        std::sort(ends.begin(), ends.end());
        ASSERT_EQ(all.packets.size(), 8u);
        ASSERT_EQ(ends.back(), frames_end);
        std::vector<size_t> cuts = ends;
        for (const size_t end : ends) cuts.insert(cuts.end(), {end - 1, end + 6});  // a byte short; in the next record's type
        for (size_t k = 0; k < 20; ++k) cuts.push_back(mdat + (frames_end - mdat) * k / 20 + k % 3);
        for (const size_t cut : cuts) {
            const size_t kept = size_t(std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
            // Bytes of the next record that are all zeros (the high bytes of
            // its size) look like the zeros of a pre-sized mdat: no frame begun.
            const size_t last = kept ? ends[kept - 1] : mdat;
            const bool between = std::all_of(whole.begin() + long(last), whole.begin() + long(cut), [](uint8_t b) { return b == 0; });
            read_file(Bytes(whole.begin(), whole.begin() + long(cut)), [&](Reading &r) {
                SCOPED_TRACE("pre-sized " + std::to_string(pre_sized) + ", cut at " + std::to_string(cut));
                vrc_mp4_recovery_t rec{};
                rec.size = sizeof rec;
                ASSERT_EQ(vrc_mp4_demuxer_recovery(r.ctx, &rec), 0);
                EXPECT_EQ(rec.no_moov, 1u);
                EXPECT_EQ(rec.frames, kept);
                EXPECT_EQ(rec.cut_frames, between ? 0u : 1u);
                EXPECT_EQ(r.ctx->creation_time, mp4_test::kCreation);
                ASSERT_EQ(r.packets.size(), kept);
                for (size_t i = 0; i < kept; ++i) {
                    EXPECT_EQ(r.data[i], all.data[i]) << i;
                    EXPECT_EQ(r.packets[i].timestamp, all.packets[i].timestamp) << i;
                }
            });
            EXPECT_EQ(reader_samples(Bytes(whole.begin(), whole.begin() + long(cut))), kept) << cut;
        }
    }
}

// A host that allocates the context itself, from an older header, holds
// the public record only: the demuxer keeps to it (the sanitizer build
// checks every access) and still delivers every frame of a track with two
// sample descriptions.
TEST(DemuxerDelivery, HostAllocatedContextKeepsToThePublicRecord)
{
    const auto ctx = std::make_unique<vrc_mp4_demuxer_t>();
    const std::string path = std::string(VRC_TEST_DATA_DIR) + "/two_picture_sizes.mp4";
    ASSERT_EQ(vrc_mp4_demuxer_init(ctx.get(), 0, path.c_str()), 0);
    EXPECT_EQ(vrc_mp4_demuxer_read_header(ctx.get()), 0);
    std::vector<uint8_t> buf(1 << 16);
    vrc_media_packet_t p;
    int frames = 0;
    while (frames < kMaxReads && vrc_mp4_demuxer_read_packet(ctx.get(), &p, buf.data(), int(buf.size())) == 0) ++frames;
    EXPECT_EQ(frames, 20);
    vrc_mp4_demuxer_free(ctx.get());
}

// The size check counts the bytes put in front of the sample: a buffer one
// byte short of the delivered key frame is refused (and nothing is written
// past it); private mode offers the same frame again, table mode moves on to
// the audio. The muxer describes AAC at 48000 Hz in esds and in mr00; with
// mr00 changed to 16000 Hz, private mode takes mr00 and table mode the esds
// for the ADTS header it puts in front of the audio.
TEST(DemuxerDelivery, BufferMustHoldTheWholeDeliveredFrameAndAdtsHeader)
{
    const size_t key_size = 4 + kSps.size() + 4 + kPps.size() + 4 + 61;
    for (const bool private_records : {false, true}) {
        Bytes file = muxed(private_records, VRC_CODEC_AAC, 48000);
        // past the entry count, the video entry, the audio's fields
        if (private_records) put32(file, payload(file, "mr00") + 4 + 36 + 24, 16000);
        read_file(file, [&](Reading &r) {
            EXPECT_EQ(r.end, -1);
            EXPECT_NE(r.log.find("frame buffer too small!"), std::string::npos);
            std::vector<uint8_t> exact(key_size);
            vrc_media_packet_t p;
            // in private mode the refused key frame comes again, in front of the audio
            for (int reads = private_records ? 2 : 1; reads > 0; --reads)
                ASSERT_EQ(vrc_mp4_demuxer_read_packet(r.ctx, &p, exact.data(), int(exact.size())), 0);
            EXPECT_EQ(p.frame_type, VRC_FRAME_AUDIO_ADTS);
            // AAC LC, mono, sampling index 8 (16000 Hz) or 3 (48000 Hz)
            const Bytes header{0xFF, 0xF1, uint8_t(private_records ? 0x60 : 0x4C), 0x40, 0x07, 0x3F, 0xFC};
            EXPECT_EQ(Bytes(p.data, p.data + 7), header);
        }, key_size - 1);
    }
    EXPECT_EQ(vrc_mp4_demuxer_new(0, vrc_test::temp_path("missing.mp4").c_str()), nullptr);
    EXPECT_EQ(vrc_mp4_demuxer_free(nullptr), 0);
    EXPECT_EQ(vrc_mp4_demuxer_read_header(nullptr), -1);
    EXPECT_EQ(vrc_mp4_demuxer_seek(nullptr, 0), -1);
}

// What the public reader gives for a file: its samples (a read into a
// buffer one byte short first, which must offer the same sample again),
// the edits of track 1 and the log.
struct ReaderRun {
    std::vector<vrc_mp4_sample_t> samples;
    std::vector<vrc_mp4_edit_t> edits;
    std::string log;
};

ReaderRun read_with_reader(const Bytes &file)
{
    const std::string path = vrc_test::temp_path("reader_" + std::to_string(file.size()) + ".mp4");
    vrc_test::write_file(path, file);
    mp4_test::LogMark mark;
    ReaderRun run;
    vrc_mp4_reader_t *reader = vrc_mp4_reader_open(path.c_str());
    EXPECT_NE(reader, nullptr);
    if (!reader) return run;
    for (vrc_mp4_edit_t e{sizeof e, 0, 0, 0}; vrc_mp4_reader_edit(reader, 1, uint32_t(run.edits.size()), &e) == 0;)
        run.edits.push_back(e);
    std::vector<uint8_t> buf(1 << 16);
    vrc_mp4_sample_t s{};
    s.size = sizeof s;
    for (int i = 0; i < kMaxReads && vrc_mp4_reader_read(reader, buf.data(), uint32_t(buf.size()), &s) == 0; ++i) {
        if (run.samples.empty()) {  // again, into a buffer one byte short, then into one that fits
            const uint32_t bytes = s.bytes;
            vrc_mp4_reader_close(reader);
            reader = vrc_mp4_reader_open(path.c_str());
            EXPECT_EQ(vrc_mp4_reader_read(reader, buf.data(), bytes - 1, &s), VRC_MP4_READER_SHORT);
            EXPECT_EQ(s.bytes, bytes);
            EXPECT_EQ(vrc_mp4_reader_read(reader, buf.data(), bytes, &s), 0);
        }
        run.samples.push_back(s);
    }
    vrc_mp4_reader_close(reader);
    run.log = mark.since();
    return run;
}

// Times and edits that a file declares beyond what it holds: a ctts whose
// runs cover far more samples than the track has, and more runs than its
// payload; edit lists of more entries than the presentation keeps, or than
// the payload holds; a sample naming a description stsd never had. Boxes
// appended behind moov belong to the last track (the audio, track 1).
TEST(Hostile, TimesEditsAndDescriptionsBeyondTheFile)
{
    Bytes elst_wide = cat({u32(0x01000000), u32(1000)});
    for (uint32_t i = 0; i < 20; ++i)
        elst_wide = cat({elst_wide, u32(0), u32(i * 10), i ? cat({u32(0), u32(i * 100)}) : cat({u32(~0u), u32(~0u)}), u32(0x10000)});
    Bytes bad_description = muxed(false);
    put32(bad_description, payload(bad_description, "moov/trak[1]/mdia/minf/stbl/stsc") + 16, 2);
    const struct {
        const char *what;
        Bytes file;
        std::vector<int32_t> audio_offsets;
        std::vector<int64_t> edit_times;  // of track 1, as many as kept
        size_t audio_samples;
    } cases[] = {
        {"ctts past the samples", cat({muxed(false), box("ctts", cat({u32(0), u32(0x7FFFFFFF), u32(~0u), u32(-5),
                                                                      u32(3), u32(7)}))}), {-5, -5, -5, -5}, {-1, 0}, 4},
        {"elst of 1000 entries, 20 held", cat({muxed(false), box("elst", elst_wide)}),
         {0, 0, 0, 0}, {-1, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100, 1200, 1300, 1400, 1500}, 4},
        {"elst of 2^32-1 entries, 1 held", cat({muxed(false), box("elst", cat({u32(0x01000000), u32(~0u), u32(0),
                                                                               u32(40), u32(~0u), u32(~0u),
                                                                               u32(0x10000), Bytes(5, 0)}))}),
         {0, 0, 0, 0}, {-1}, 4},
        {"a description stsd lacks", bad_description, {}, {-1, 0}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const ReaderRun run = read_with_reader(c.file);
        std::vector<int32_t> offsets;
        for (const vrc_mp4_sample_t &s : run.samples)
            if (s.track == 1) offsets.push_back(s.composition_offset);
        EXPECT_EQ(offsets, c.audio_offsets);
        std::vector<int64_t> times;
        for (const vrc_mp4_edit_t &e : run.edits) times.push_back(e.media_time);
        EXPECT_EQ(times, c.edit_times);
        EXPECT_EQ(run.samples.size(), 4 + c.audio_samples);
        EXPECT_EQ(run.log.find("which was not kept") != std::string::npos, c.audio_samples == 0);
    }
    // A host built when the sample record ended in front of its
    // composition offset gets no byte past that.
    const std::string path = vrc_test::temp_path("reader_old_host.mp4");
    vrc_test::write_file(path, muxed(false));
    vrc_mp4_reader_t *reader = vrc_mp4_reader_open(path.c_str());
    vrc_mp4_sample_t old[2];
    std::memset(old, 0xAA, sizeof old);
    old[0].size = offsetof(vrc_mp4_sample_t, composition_offset);
    std::vector<uint8_t> buf(1 << 16);
    EXPECT_EQ(vrc_mp4_reader_read(reader, buf.data(), uint32_t(buf.size()), &old[0]), 0);
    vrc_mp4_reader_close(reader);
    EXPECT_EQ(old[0].decode_time, 0);
    const auto *tail = reinterpret_cast<const uint8_t *>(old) + old[0].size;
    EXPECT_TRUE(std::all_of(tail, tail + sizeof old - old[0].size, [](uint8_t b) { return b == 0xAA; }));
}

// The probe scores the box headers of the first 1024 bytes; reads behind a
// header at the window's end see zeros, never bytes outside it.
TEST(DemuxerProbe, ScoresTheBoxHeadersOfTheWindow)
{
    const Bytes tail_ftyp = cat({box("free", Bytes(1008, 0)), u32(8), tag("ftyp")});  // brand beyond the window
    const Bytes mpeg_moov =
        box("moov", cat({Bytes(4, 0), tag("hdlr"), Bytes(4, 0), tag("mhlr"), tag("MPEG"), Bytes(8, 0)}));
    const struct {
        Bytes file;
        int score;
    } cases[] = {
        {box("ftyp", cat({tag("isom"), u32(0), tag("isom")})), 100},
        {box("ftyp", cat({tag("jp2 "), u32(0), tag("isom")})), 5},
        {box("free", Bytes(8, 0)), 95},
        {cat({u32(1), tag("mdat"), u32(0), u32(0)}), 50},
        {cat({u32(1), tag("mdat"), u32(0), u32(4096)}), 100},
        {box("skip", {}), 50},
        {Bytes(64, 0), 0},
        {tail_ftyp, 100},
        {mpeg_moov, 5},
        {{}, -1},
    };
    for (const auto &c : cases) {
        const std::string path = vrc_test::temp_path("probe.bin");
        vrc_test::write_file(path, c.file);
        EXPECT_EQ(vrc_mp4_demuxer_read_probe(path.c_str()), c.score) << c.file.size() << " bytes";
    }
    EXPECT_EQ(vrc_mp4_demuxer_read_probe(vrc_test::temp_path("absent.bin").c_str()), -1);
}

// Whole files, the muxer's and ffmpeg's (moov first or last, B-frames),
// pass; every cut of them, a tail never written and a track that lost a
// sample table do not.
TEST(DemuxerComplete, OnlyWholeFilesPass)
{
    std::vector<Bytes> whole = {muxed(false), muxed(true)};
    for (const char *name : {"ffmpeg_faststart.mp4", "ffmpeg_bframes_slices4.mp4", "ffmpeg_aac16k_mono.mp4"})
        whole.push_back(vrc_test::read_file(std::string(VRC_TEST_DATA_DIR) + "/" + name));
    const std::string path = vrc_test::temp_path("complete.mp4");
    const auto check = [&](const Bytes &file) {
        vrc_test::write_file(path, file);
        return vrc_mp4_demuxer_check_complete(path.c_str());
    };
    for (Bytes file : whole) {
        EXPECT_EQ(check(file), 1) << file.size() << " bytes";
        for (size_t k = 0; k < 16; ++k)
            EXPECT_EQ(check(Bytes(file.begin(), file.begin() + long(file.size() * k / 16))), 0) << k << "/16";
        put(file, find_box(file, "moov/trak[1]/mdia/minf/stbl/stsz").offset + 4, tag("free"));
        EXPECT_EQ(check(file), 0) << "without stsz";
    }
    EXPECT_EQ(check(muxed(false, VRC_CODEC_G711U, 8000, false)), 0) << "no tail";
    EXPECT_EQ(vrc_mp4_demuxer_check_complete(vrc_test::temp_path("absent.mp4").c_str()), -1);
}

}  // namespace
