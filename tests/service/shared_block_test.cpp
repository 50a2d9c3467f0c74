// Bounded text fields of the shared blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Service/common/SharedBlock.h"

namespace {

TEST(SharedBlockText, WriteCopiesAtMost63CharactersAndNeverTouchesTheLastByte) {
    QuillonSharedBlock block;
    std::memset(&block, 0xAA, sizeof block);
    const std::string longText(100, 'q');
    WriteSharedText(block.consoleDescription, longText.c_str());
    EXPECT_EQ(std::string(block.consoleDescription, 63), std::string(63, 'q'));
    EXPECT_EQ(static_cast<unsigned char>(block.consoleDescription[63]), 0xAA);
    EXPECT_EQ(static_cast<unsigned char>(block.firmwareText[0]), 0xAA);  // the next field is untouched

    WriteSharedText(block.consoleDescription, "short");
    EXPECT_STREQ(block.consoleDescription, "short");
    for (int i = 5; i < 63; ++i) EXPECT_EQ(block.consoleDescription[i], 0) << i;
    EXPECT_EQ(static_cast<unsigned char>(block.consoleDescription[63]), 0xAA);
}

TEST(SharedBlockText, ReadStopsAtTheFieldEndWhenTheWriterLeftNoTerminator) {
    QuillonSharedBlock block;
    std::memset(&block, 'z', sizeof block);
    char out[kSharedTextSize + 1];
    ReadSharedText(block.serviceVersion, out);
    EXPECT_EQ(std::string(out), std::string(64, 'z'));

    std::memcpy(block.firmwareText, "Firmware Version: 1.23", 23);
    ReadSharedText(block.firmwareText, out);
    EXPECT_STREQ(out, "Firmware Version: 1.23");
}

}  // namespace
