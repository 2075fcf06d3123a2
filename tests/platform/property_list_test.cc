#include "platform/property_list.h"

#include <gtest/gtest.h>

#include "platform/decoding_error.h"

namespace oakenmere::platform {
namespace {

TEST(PropertyList, BinaryAndXmlReadBackTheSameValues) {
    PropertyListDictionary plist;
    plist.setInteger("formatVersion", 1);
    plist.setInteger("negative", -3);
    plist.setString("name", "Caf\xC3\xA9 / \xF0\x9F\x93\xB7");
    plist.setDate("createdAt", Date{-700'000'000});
    EXPECT_EQ(asText(plist.binary()).substr(0, 8), "bplist00");

    for (const Bytes& bytes : {plist.binary(), toBytes(plist.xml())}) {
        auto read = PropertyListDictionary::parse(bytes);
        EXPECT_EQ(read.integer("formatVersion"), 1);
        EXPECT_EQ(read.integer("negative"), -3);
        EXPECT_EQ(read.string("name"), "Caf\xC3\xA9 / \xF0\x9F\x93\xB7");
        EXPECT_EQ(read.date("createdAt"), Date{-700'000'000});
        EXPECT_EQ(read.integer("missing"), std::nullopt);
        EXPECT_THROW(read.integer("name"), DecodingError);
        EXPECT_THROW(read.string("formatVersion"), DecodingError);
    }
    const char* array = R"(<?xml version="1.0"?><plist version="1.0"><array><integer>1</integer></array></plist>)";
    EXPECT_THROW(PropertyListDictionary::parse(asBytes(array)), DecodingError);
}

// The binary encoding keeps microseconds (the XML one only whole seconds), before 2001 too, where
// libplist hands back the fraction of a negative date as a positive number of microseconds.
TEST(PropertyList, BinaryDatesKeepMicroseconds) {
    for (double seconds : {700'000'000.25, 0.5, 0.0, -2.0, -0.25, -1.5, -700'000'000.75}) {
        PropertyListDictionary plist;
        plist.setDate("d", Date{seconds});
        EXPECT_EQ(PropertyListDictionary::parse(plist.binary()).date("d"), Date{seconds}) << seconds;
    }
}

}  // namespace
}  // namespace oakenmere::platform
