// The device-info dictionary: typed reads, nothing-removes-a-key, merging, log form, and access from the
// main thread and a command queue at once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/Value.h"

using ovn::DeviceInfoDict;
using ovn::Value;

TEST(Value, ConversionsAnswerOnlyForFittingKinds) {
    EXPECT_EQ(ovn::valueAsString(Value{std::string("x")}), "x");
    EXPECT_FALSE(ovn::valueAsString(Value{int64_t(1)}));
    EXPECT_EQ(ovn::valueAsInteger(Value{int64_t(-5)}), -5);
    EXPECT_EQ(ovn::valueAsInteger(Value{true}), 1);
    EXPECT_FALSE(ovn::valueAsInteger(Value{std::string("12")})) << "texts are not numbers";
    EXPECT_EQ(ovn::valueAsBool(Value{int64_t(2)}), true);
    EXPECT_EQ(ovn::valueAsBool(Value{int64_t(0)}), false);
    EXPECT_FALSE(ovn::valueAsBool(Value{std::string("YES")}));
    EXPECT_FALSE(ovn::valueAsBool(Value{}));

    EXPECT_EQ(ovn::describeValue(Value{}), "(null)");
    EXPECT_EQ(ovn::describeValue(Value{int64_t(42)}), "42");
    EXPECT_EQ(ovn::describeValue(Value{std::vector<std::string>{"a", "b"}}), "( a, b )");
    EXPECT_EQ(ovn::describeValue(Value{std::vector<std::string>{}}), "()");
}

TEST(DeviceInfoDict, TypedReadsAndNothingRemovesAKey) {
    DeviceInfoDict dict;
    dict.set("firmwareVersion", std::string("1.02"));
    dict.set("deviceFirmwareStatus", int64_t(3));
    dict.set("iSerial", true);
    EXPECT_EQ(dict.getString("firmwareVersion"), "1.02");
    EXPECT_EQ(dict.getInteger("deviceFirmwareStatus"), 3);
    EXPECT_EQ(dict.getBool("iSerial"), true);
    EXPECT_FALSE(dict.getInteger("firmwareVersion")) << "a text is not read as a number";
    EXPECT_FALSE(dict.getString("missing"));
    EXPECT_EQ(dict.count(), 3u);

    dict.set("firmwareVersion", Value{});
    EXPECT_FALSE(dict.contains("firmwareVersion"));
    EXPECT_FALSE(dict.get("firmwareVersion"));
    dict.remove("iSerial");
    EXPECT_EQ(dict.keys(), (std::vector<std::string>{"deviceFirmwareStatus"}));
    dict.clear();
    EXPECT_EQ(dict.count(), 0u);
}

TEST(DeviceInfoDict, MergeReplacesAddsAndRemovesWithNothing) {
    DeviceInfoDict saved(DeviceInfoDict::Map{{"firmwareVersion", std::string("1.00")},
                                             {"deviceFirmwareStatus", int64_t(2)},
                                             {"printerStatus", std::string("Idle")}});
    DeviceInfoDict fresh;
    fresh.set("firmwareVersion", std::string("1.01"));
    fresh.set("printerSerialNumber", std::string("SN1"));
    fresh.merge(saved);
    EXPECT_EQ(fresh.getString("firmwareVersion"), "1.00") << "merged entries replace those of the same key";
    EXPECT_EQ(fresh.getString("printerSerialNumber"), "SN1") << "keys only on this side stay";
    EXPECT_EQ(fresh.getInteger("deviceFirmwareStatus"), 2);
    EXPECT_EQ(fresh.count(), 4u);
    EXPECT_EQ(saved.count(), 3u) << "the merged-from dictionary is unchanged";

    fresh.merge(DeviceInfoDict::Map{{"printerStatus", Value{}}, {"model", std::string("PL25")}});
    EXPECT_FALSE(fresh.contains("printerStatus"));
    EXPECT_EQ(fresh.getString("model"), "PL25");

    fresh.merge(fresh);  // with itself: no deadlock, no change
    EXPECT_EQ(fresh.count(), 4u);
}

TEST(DeviceInfoDict, DescribeListsEveryEntry) {
    DeviceInfoDict dict;
    EXPECT_EQ(dict.describe(), "{}");
    dict.set("b", int64_t(2));
    dict.set("a", std::string("x"));
    EXPECT_EQ(dict.describe(), "{\n    a = x;\n    b = 2;\n}");
}

TEST(DeviceInfoDict, ConcurrentReadersAndWritersSeeWholeMerges) {
    // Writers replace two keys together in one merge; readers must never see them differ. Two dictionaries
    // merged into each other from two threads at once must not deadlock.
    DeviceInfoDict dict;
    DeviceInfoDict other;
    dict.merge(DeviceInfoDict::Map{{"a", int64_t(0)}, {"b", int64_t(0)}});
    other.set("o", int64_t(-1));
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; ++w)
        threads.emplace_back([&, w] {
            for (int64_t i = 0; i < 3000; ++i) {
                dict.merge(DeviceInfoDict::Map{{"a", i * 10 + w}, {"b", i * 10 + w}});
                dict.set("w" + std::to_string(w), i);
                other.set("o", i);
            }
        });
    for (int r = 0; r < 3; ++r)
        threads.emplace_back([&] {
            while (!stop.load()) {
                auto snap = dict.snapshot();
                if (snap.at("a") != snap.at("b")) torn.fetch_add(1);
                (void)dict.getInteger("w0");
                (void)dict.describe();
                (void)dict.keys();
            }
        });
    std::thread crossA([&] {
        for (int i = 0; i < 2000; ++i) dict.merge(other);
    });
    std::thread crossB([&] {
        for (int i = 0; i < 2000; ++i) other.merge(dict);
    });
    for (int w = 0; w < 3; ++w) threads[w].join();
    crossA.join();
    crossB.join();
    stop = true;
    for (size_t i = 3; i < threads.size(); ++i) threads[i].join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(dict.keys(), (std::vector<std::string>{"a", "b", "o", "w0", "w1", "w2"}));
    EXPECT_TRUE(other.contains("a"));
}
