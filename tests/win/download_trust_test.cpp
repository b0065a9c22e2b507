// What the download component moves into place: only a whole file of one
// revision, a Windows x64 program, signed by the publisher when a key is set.
// Each refused download ends in the failure path with the old program's
// bytes untouched.
#include "support/responder_win.h"
#include "support/download_check_win.h"
#include "support/update_signing_win.h"

#include <gtest/gtest.h>

#include <string>

using testsupport::BlobOptions;
using testsupport::expect_complete;
using testsupport::expect_failed;
using testsupport::make_program_blob;
using testsupport::Responder;

TEST(DownloadTrust, EmptyFileFailsBeforeTheSizeIsAnnounced) {
    Responder server("");
    ASSERT_TRUE(server.ok());
    expect_failed(server.url(), false);
}

// A server may announce no more than an update may have: one byte over fails
// at the first answer, before the size event, with nothing left beside the
// program; exactly the limit passes.
TEST(DownloadTrust, AnnouncedSizeOverTheLimitFailsAtTheFirstAnswer) {
    const std::string blob = make_program_blob(200 * 1024, 26);
    FileAcceptance limited;
    limited.max_bytes = static_cast<int64_t>(blob.size()) - 1;
    for (bool ranges : {true, false}) {
        SCOPED_TRACE(ranges ? "206 with Content-Range" : "200 with Content-Length");
        BlobOptions o;
        o.ranges = ranges;
        Responder server(blob, o);
        expect_failed(server.url(), false, limited);
        EXPECT_EQ(server.file_requests(), 1) << "more than the first answer was asked for";
    }
    limited.max_bytes = static_cast<int64_t>(blob.size());
    Responder server(blob);
    expect_complete(server.url(), blob, limited);
}

TEST(DownloadTrust, HtmlPageForEveryRequestIsNoProgram) {
    BlobOptions o;
    o.error_status = 200;
    Responder server("", o);
    expect_failed(server.url(), true);
}

TEST(DownloadTrust, FileChangingBetweenPartsIsNeverMixed) {
    const std::string first = make_program_blob(2 * 1024 * 1024, 21);
    const std::string second = make_program_blob(first.size(), 22); // same size
    // The server changes the file with every request: the new start finds it
    // changing again and gives up.
    for (auto validator : {BlobOptions::Validator::etag, BlobOptions::Validator::last_modified}) {
        for (bool honour : {true, false}) {
            BlobOptions o;
            o.revised_blob = second;
            o.revise_at = 1;
            o.keep_revising = true;
            o.validator = validator;
            o.honour_if_range = honour; // false: 206 with the new revision's validator
            Responder server(first, o);
            expect_failed(server.url(), true);
            EXPECT_GE(server.file_requests(), 4) << "no new start from scratch";
        }
    }
    // Changed once, mid-download: the new start fetches the new revision whole.
    BlobOptions once;
    once.revised_blob = second;
    once.revise_at = 1;
    Responder server(first, once);
    expect_complete(server.url(), second);
    const auto if_ranges = server.if_ranges_asked();
    ASSERT_FALSE(if_ranges.empty());
    EXPECT_EQ(if_ranges.back(), "\"rev-1\"");
}

TEST(DownloadTrust, ServerWithoutValidatorsGivesTheWholeFileInOneAnswer) {
    const std::string blob = make_program_blob(2 * 1024 * 1024, 23);
    BlobOptions o;
    o.validator = BlobOptions::Validator::none;
    Responder server(blob, o);
    expect_complete(server.url(), blob);
    // After the first bytes that tell the size, the whole file in one answer.
    EXPECT_EQ(server.ranges_asked(), (std::vector<std::string>{"bytes=0-10239", ""}));
    // Dropped mid-body, it starts again from byte 0, never resumes into a
    // file whose revision nothing names.
    o.drop_at = 1024 * 1024;
    o.drop_times = 1;
    Responder dropping(blob, o);
    expect_complete(dropping.url(), blob);
    EXPECT_EQ(dropping.ranges_asked(), (std::vector<std::string>{"bytes=0-10239", "", ""}));
}

TEST(DownloadTrust, OnlyTheSignatureOfThePublisherForThisVersionPasses) {
    if (GetFileAttributesW(L"Z:\\bin\\sh") == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "signs with the Unix shell and openssl, as Wine runs them";
    }
    testsupport::SigningKey key, other_key;
    ASSERT_TRUE(key.make()) << "openssl could not make a key";
    ASSERT_TRUE(other_key.make());
    const std::string blob = make_program_blob(300 * 1024, 24);
    const std::string signature = key.sign(blob, "1.002");
    ASSERT_EQ(signature.size(), 64u);
    FileAcceptance acceptance;
    acceptance.public_key = key.public_key();
    acceptance.version = "1.002";

    {
        BlobOptions o;
        o.signature = signature;
        Responder server(blob, o);
        expect_complete(server.url(), blob, acceptance);
        EXPECT_EQ(server.signature_requests(), 1);
    }
    {
        // A large file comes in more parts than connections, hashed as they
        // arrive; a part dropped midway is resumed and hashed whole.
        const std::string large = make_program_blob(50 * 1024 * 1024, 25);
        BlobOptions o;
        o.signature = key.sign(large, "1.002");
        o.drop_at = 30 * 1024 * 1024;
        o.drop_times = 1;
        Responder server(large, o);
        expect_complete(server.url(), large, acceptance);
        EXPECT_EQ(server.file_requests(), 1 + 7 + 1); // first bytes, 7 parts, 1 resumed
    }
    std::string flipped = blob;
    flipped[200000] = static_cast<char>(flipped[200000] ^ 0x01);
    struct Case {
        const char* what;
        std::string served;
        std::optional<std::string> signature;
    } cases[] = {
        {"no signature", blob, std::nullopt},
        {"63 bytes", blob, signature.substr(0, 63)},
        {"65 bytes", blob, signature + "x"},
        {"signed for another version", blob, key.sign(blob, "1.003")},
        {"signed with another key", blob, other_key.sign(blob, "1.002")},
        {"one byte of the file changed", flipped, signature},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BlobOptions o;
        o.signature = c.signature;
        Responder server(c.served, o);
        expect_failed(server.url(), true, acceptance);
        EXPECT_EQ(server.signature_requests(), 1);
    }
}
