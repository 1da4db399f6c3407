#include "app/received_store.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <string>
#include <vector>

#include "base/event.h"

namespace {

ReceivedFrame Frame(const std::string& text, const std::string& faults = "", const std::string& rule = "",
                    const std::string& nearMiss = "") {
    ReceivedFrame frame;
    frame.type = 'M';
    frame.status = 7;
    frame.rxBcc = "999";
    frame.calcBcc = "042";
    frame.text = text;
    frame.faults = faults;
    frame.rule = rule;
    frame.nearMiss = nearMiss;
    frame.way = 1;
    frame.session = 3;
    return frame;
}

// A text of its own for message i, of a length that varies, so that texts fall across the
// ends of the blocks they are kept in.
std::string TextOf(int i) {
    return std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), static_cast<char>('a' + i % 26));
}

void ExpectMessage(const ReceivedStore& store, std::size_t position, int i) {
    const ReceivedStore::View v = store.At(position);
    EXPECT_EQ(v.text, TextOf(i)) << "message " << i;
    EXPECT_EQ(v.rxBcc, "999");
    EXPECT_EQ(v.calcBcc, "042");
    EXPECT_EQ(v.faults, i % 3 == 0 ? "delay 5 ms" : "");
    EXPECT_EQ(v.rule, i % 5 == 0 ? "rule " + std::to_string(i) : "");
    EXPECT_EQ(v.nearMiss, i % 7 == 0 ? std::string(300, 'n') : "");
    EXPECT_EQ(v.statusCode, 7);
    EXPECT_EQ(v.way, 1);
    EXPECT_EQ(v.session, 3u);
}

void AddNumbered(ReceivedStore& store, int from, int to) {
    for (int i = from; i < to; ++i)
        store.Add(Frame(TextOf(i), i % 3 == 0 ? "delay 5 ms" : "", i % 5 == 0 ? "rule " + std::to_string(i) : "",
                        i % 7 == 0 ? std::string(300, 'n') : ""),
                  1'700'000'000'000 + i, false);
}

}  // namespace

// Every field comes back as it went in, whatever went before it: blocks filled, the oldest
// dropped by the bound, rows deleted in the middle, the list cleared.
TEST(ReceivedStore, EveryMessageKeepsItsFieldsThroughDropsDeletionsAndClears) {
    ReceivedStore store;
    AddNumbered(store, 0, 20000);
    ASSERT_EQ(store.Size(), 20000u);
    for (std::size_t i = 0; i < store.Size(); i += 37) ExpectMessage(store, i, static_cast<int>(i));
    ExpectMessage(store, 19999, 19999);

    store.Remove(100, 9999);  // the middle goes; what is around it stays
    ASSERT_EQ(store.Size(), 10100u);
    ExpectMessage(store, 99, 99);
    ExpectMessage(store, 100, 10000);

    store.SetBound(5000);
    ASSERT_EQ(store.Size(), 5000u);
    ExpectMessage(store, 0, 15000);
    AddNumbered(store, 20000, 26000);
    ASSERT_LE(store.Size(), 5000u);
    ExpectMessage(store, store.Size() - 1, 25999);
    ExpectMessage(store, 0, 26000 - static_cast<int>(store.Size()));

    store.Clear();
    EXPECT_EQ(store.Size(), 0u);
    EXPECT_EQ(store.Bytes(), 0u) << "a cleared list holds nothing";
    AddNumbered(store, 30000, 30003);
    ExpectMessage(store, 2, 30002);
}

// A text longer than a block gets a block of its own, and an empty message takes no text.
TEST(ReceivedStore, ATextLargerThanABlockAndAnEmptyOneAreKept) {
    ReceivedStore store;
    const std::string large(3u << 20, 'x');
    store.Add(Frame(""), 1, false);
    store.Add(Frame(large), 2, false);
    store.Add(Frame("after"), 3, false);
    EXPECT_EQ(store.At(0).text, "");
    EXPECT_EQ(store.At(1).text, large);
    EXPECT_EQ(store.At(2).text, "after");
}

// Memory follows what is kept: dropping the oldest gives their texts' blocks back.
TEST(ReceivedStore, DroppingTheOldestGivesTheirMemoryBack) {
    ReceivedStore store;
    AddNumbered(store, 0, 100000);
    const std::size_t full = store.Bytes();
    EXPECT_GE(full, 100000u * 40) << "texts and records are counted";
    store.SetBound(1000);
    // What is left: the records kept and the last block or two of texts.
    EXPECT_LT(store.Bytes(), full / 5);
}

#if defined(__SANITIZE_ADDRESS__)
#define VANTOR_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTOR_ASAN 1
#endif
#endif

// A weekend's list must fit: beside its text a message costs at most 64 bytes of heap, its
// place in the list included.
TEST(ReceivedStore, AMessageTakesAtMost64BytesBesideItsText) {
#ifdef VANTOR_ASAN
    GTEST_SKIP() << "the sanitizer's allocator pads every block";
#else
    constexpr int kMessages = 200000;
    const std::string text = "T=21.5;P=1013";
    ReceivedStore store;
    const std::size_t before = mallinfo2().uordblks;
    for (int i = 0; i < kMessages; ++i) store.Add(Frame(text), 1'700'000'000'000 + i, false);
    const std::size_t after = mallinfo2().uordblks;
    const std::size_t textBytes = kMessages * (text.size() + 6);  // the text and two block checks
    ASSERT_GT(after, before + textBytes);
    EXPECT_LE(after - before - textBytes, std::size_t{64} * kMessages)
        << (after - before - textBytes) / kMessages << " bytes a message";
#endif
}
