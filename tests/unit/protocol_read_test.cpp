// protocol_read_test.cpp - the read requests' codec: each request and answer
// read back as written, every shorter or longer payload refused, and the
// limits on pages and pieces.
#include "protocol/codes.h"
#include "protocol/frame.h"
#include "protocol/read_wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> buffer() {
    return std::vector<uint8_t>(CTFS_MAX_PAYLOAD);
}

// Every cut of a valid payload, and the payload with a byte more, fails.
template <typename Fn>
void expect_only_whole(const std::vector<uint8_t>& b, size_t n, Fn decode) {
    for (size_t cut = 0; cut < n; cut++)
        EXPECT_FALSE(decode(b.data(), cut)) << "cut at " << cut;
    std::vector<uint8_t> longer(b.begin(), b.begin() + static_cast<long>(n));
    longer.push_back(0);
    EXPECT_FALSE(decode(longer.data(), longer.size()));
    EXPECT_TRUE(decode(b.data(), n));
}

TEST(ReadWire, RequestsRoundTripAndRefuseWhatIsNotOne) {
    std::vector<uint8_t> b = buffer();
    read_request rq;

    read_folder_query f;
    f.run = 0;
    f.at = 1765000000;
    f.flags = READ_FOLDER_HISTORY;
    f.limit = 10;
    f.path = "1/Root/home";
    f.after = "name\xff";
    size_t n = read_encode_folder_query(f, b.data(), b.size());
    ASSERT_GT(n, 0u);
    ASSERT_EQ(read_decode_request(TFS_READ_FOLDER, b.data(), n, &rq), 0);
    EXPECT_EQ(rq.folder.at, f.at);
    EXPECT_EQ(rq.folder.flags, READ_FOLDER_HISTORY);
    EXPECT_EQ(rq.folder.path, f.path);
    EXPECT_EQ(rq.folder.after, f.after);
    expect_only_whole(b, n, [&](const uint8_t* p, size_t k) {
        return read_decode_request(TFS_READ_FOLDER, p, k, &rq) == 0;
    });

    read_blocks_query q;
    q.run = 12;
    q.first = 3;
    q.limit = 7;
    q.flags = READ_BLOCKS_SECURITY;
    q.path = "a/b";
    n = read_encode_blocks_query(q, b.data(), b.size());
    ASSERT_EQ(read_decode_request(TFS_READ_BLOCKS, b.data(), n, &rq), 0);
    EXPECT_EQ(rq.blocks.run, 12u);
    EXPECT_EQ(rq.blocks.first, 3u);
    EXPECT_EQ(rq.blocks.limit, 7u);
    expect_only_whole(b, n, [&](const uint8_t* p, size_t k) {
        return read_decode_request(TFS_READ_BLOCKS, p, k, &rq) == 0;
    });

    read_block_query k;
    for (int i = 0; i < 32; i++)
        k.digest[i] = static_cast<uint8_t>(i);
    k.offset = 65024;
    n = read_encode_block_query(k, b.data(), b.size());
    ASSERT_EQ(n, 44u);
    ASSERT_EQ(read_decode_request(TFS_READ_BLOCK, b.data(), n, &rq), 0);
    EXPECT_EQ(memcmp(rq.block.digest, k.digest, 32), 0);
    EXPECT_EQ(rq.block.offset, 65024u);

    read_runs_query r;
    r.before = 99;
    n = read_encode_runs_query(r, b.data(), b.size());
    ASSERT_EQ(read_decode_request(TFS_READ_RUNS, b.data(), n, &rq), 0);
    EXPECT_EQ(rq.runs.before, 99u);

    // A run and a time at once, unknown flags, long texts: malformed.
    f.run = 5;
    n = read_encode_folder_query(f, b.data(), b.size());
    EXPECT_EQ(read_decode_request(TFS_READ_FOLDER, b.data(), n, &rq), ERR_INVARG);
    f.run = 0;
    f.flags = 0x80;
    n = read_encode_folder_query(f, b.data(), b.size());
    EXPECT_EQ(read_decode_request(TFS_READ_FOLDER, b.data(), n, &rq), ERR_INVARG);
    f.flags = 0;
    f.path.assign(READ_NAME_MAX + 1, 'x');
    n = read_encode_folder_query(f, b.data(), b.size());
    EXPECT_EQ(read_decode_request(TFS_READ_FOLDER, b.data(), n, &rq), ERR_INVARG);
    EXPECT_EQ(read_decode_request(TFS_FIND_FILES, b.data(), n, &rq), ERR_INVARG);
}

TEST(ReadWire, PagesAndPiecesHaveLimits) {
    std::vector<uint8_t> b = buffer();
    read_request rq;
    read_runs_query r;
    r.limit = 0;
    size_t n = read_encode_runs_query(r, b.data(), b.size());
    EXPECT_EQ(read_decode_request(TFS_READ_RUNS, b.data(), n, &rq), ERR_INVARG);
    r.limit = READ_RUNS_PAGE_MAX + 1;
    n = read_encode_runs_query(r, b.data(), b.size());
    EXPECT_EQ(read_decode_request(TFS_READ_RUNS, b.data(), n, &rq), ERR_DATAMAX);
    read_folder_query f;
    f.limit = READ_FOLDER_PAGE_MAX + 1;
    n = read_encode_folder_query(f, b.data(), b.size());
    EXPECT_EQ(read_decode_request(TFS_READ_FOLDER, b.data(), n, &rq), ERR_DATAMAX);
    read_blocks_query q;
    q.limit = READ_BLOCKS_PAGE_MAX + 1;
    n = read_encode_blocks_query(q, b.data(), b.size());
    EXPECT_EQ(read_decode_request(TFS_READ_BLOCKS, b.data(), n, &rq), ERR_DATAMAX);
    read_block_query k;
    k.length = READ_CHUNK_MAX + 1;
    n = read_encode_block_query(k, b.data(), b.size());
    EXPECT_EQ(read_decode_request(TFS_READ_BLOCK, b.data(), n, &rq), ERR_DATAMAX);
    k.length = 0;
    n = read_encode_block_query(k, b.data(), b.size());
    EXPECT_EQ(read_decode_request(TFS_READ_BLOCK, b.data(), n, &rq), ERR_INVARG);
    // A request too large for the caller's buffer is not written.
    f.limit = 1;
    f.path.assign(300, 'p');
    EXPECT_EQ(read_encode_folder_query(f, b.data(), 100), 0u);
    // A whole piece of block data fits one answer.
    std::vector<uint8_t> data(READ_CHUNK_MAX, 0x5a);
    EXPECT_GT(read_encode_chunk(1u << 20, 0, data.data(), READ_CHUNK_MAX, b.data(), b.size()), 0u);
}

TEST(ReadWire, AnswersRoundTripAndFillToTheirRoom) {
    std::vector<uint8_t> b = buffer();

    read_answer a = read_runs_begin(b.data(), b.size());
    read_run run;
    run.id = 7;
    run.started = 100;
    run.ended = 200;
    run.destination = 3;
    memset(run.host, 0x11, 20);
    run.vouched = true;
    run.bytes_sent = 1u << 30;
    run.schedule = "nightly";
    ASSERT_TRUE(read_runs_add(&a, run));
    run.id = 6;
    run.ended = 0;
    run.vouched = false;
    ASSERT_TRUE(read_runs_add(&a, run));
    size_t n = read_runs_end(&a, true);
    read_runs_page runs;
    ASSERT_TRUE(read_decode_runs(b.data(), n, &runs));
    ASSERT_EQ(runs.runs.size(), 2u);
    EXPECT_TRUE(runs.more);
    EXPECT_EQ(runs.runs[0].id, 7u);
    EXPECT_TRUE(runs.runs[0].vouched);
    EXPECT_EQ(runs.runs[0].bytes_sent, 1u << 30);
    EXPECT_EQ(runs.runs[0].schedule, "nightly");
    EXPECT_EQ(runs.runs[1].ended, 0);
    expect_only_whole(b, n, [&](const uint8_t* p, size_t k) { return read_decode_runs(p, k, &runs); });

    a = read_folder_begin(b.data(), b.size(), 1765000000);
    read_entry e;
    e.flags = READ_ENTRY_DELETED_LATER;
    e.size = 12345;
    e.mtime = 99;
    e.committed = 1764000000;
    e.version = 42;
    e.name = "report.pdf";
    ASSERT_TRUE(read_folder_add(&a, e));
    n = read_folder_end(&a, false);
    read_folder_page folder;
    ASSERT_TRUE(read_decode_folder(b.data(), n, &folder));
    EXPECT_EQ(folder.at, 1765000000);
    ASSERT_EQ(folder.entries.size(), 1u);
    EXPECT_EQ(folder.entries[0].name, "report.pdf");
    EXPECT_EQ(folder.entries[0].flags, READ_ENTRY_DELETED_LATER);
    EXPECT_EQ(folder.entries[0].version, 42u);
    expect_only_whole(b, n,
                      [&](const uint8_t* p, size_t k) { return read_decode_folder(p, k, &folder); });

    // Entries stop at the answer's room: the page ends there.
    a = read_folder_begin(b.data(), 200, 1);
    e.name.assign(100, 'n');
    EXPECT_TRUE(read_folder_add(&a, e));
    EXPECT_FALSE(read_folder_add(&a, e));
    n = read_folder_end(&a, true);
    ASSERT_TRUE(read_decode_folder(b.data(), n, &folder));
    EXPECT_EQ(folder.entries.size(), 1u);

    read_blocks_page head;
    head.version = 5;
    head.size = 3u << 20;
    head.block_size = 1u << 20;
    head.total = 3;
    head.has_security = true;
    head.security = std::string("\x04\0\0\0\0sec", 8);
    head.first = 1;
    a = read_blocks_begin(b.data(), b.size(), head);
    read_block_ref ref;
    ref.digest[0] = 0xee;
    ref.stored = 1000;
    ref.plain = 1u << 20;
    ref.has_md5 = true;
    ref.md5[15] = 9;
    ASSERT_TRUE(read_blocks_add(&a, ref));
    ref.damaged = true;
    ref.has_md5 = false;
    ASSERT_TRUE(read_blocks_add(&a, ref));
    n = read_blocks_end(&a);
    read_blocks_page blocks;
    ASSERT_TRUE(read_decode_blocks(b.data(), n, &blocks));
    EXPECT_EQ(blocks.security, head.security);
    EXPECT_EQ(blocks.first, 1u);
    ASSERT_EQ(blocks.blocks.size(), 2u);
    EXPECT_EQ(blocks.blocks[0].digest[0], 0xee);
    EXPECT_EQ(blocks.blocks[0].md5[15], 9);
    EXPECT_TRUE(blocks.blocks[1].damaged);
    EXPECT_FALSE(blocks.blocks[1].has_md5);
    expect_only_whole(b, n,
                      [&](const uint8_t* p, size_t k) { return read_decode_blocks(p, k, &blocks); });
    // More blocks than the version has: refused.
    head.first = 2;
    a = read_blocks_begin(b.data(), b.size(), head);
    read_blocks_add(&a, ref);
    read_blocks_add(&a, ref);
    EXPECT_FALSE(read_decode_blocks(b.data(), read_blocks_end(&a), &blocks));

    const uint8_t data[5] = {1, 2, 3, 4, 5};
    n = read_encode_chunk(10, 5, data, 5, b.data(), b.size());
    read_chunk c;
    ASSERT_TRUE(read_decode_chunk(b.data(), n, &c));
    EXPECT_EQ(c.total, 10u);
    EXPECT_EQ(memcmp(c.data, data, 5), 0);
    expect_only_whole(b, n, [&](const uint8_t* p, size_t k) { return read_decode_chunk(p, k, &c); });
    // A piece past the block's end.
    n = read_encode_chunk(8, 5, data, 5, b.data(), b.size());
    EXPECT_FALSE(read_decode_chunk(b.data(), n, &c));
}

TEST(ReadWire, RefusalsHaveTexts) {
    EXPECT_STREQ(read_err_text(ERR_READ_NO_RUN), "No such run");
    EXPECT_STREQ(read_err_text(ERR_READ_NO_BLOCK), "No such block");
    EXPECT_STREQ(read_err_text(ERR_ACCESS), ctfs_err_text(ERR_ACCESS));
    // The agent's own table does not learn the new codes.
    EXPECT_STREQ(ctfs_msg_name(TFS_READ_RUNS), "TFS_UNKNOWN");
    EXPECT_FALSE(read_is_request(TFS_FIND_FILES));
    EXPECT_TRUE(read_is_request(TFS_READ_BLOCK));
}

} // namespace
