#include <gtest/gtest.h>

#include "core/image/header_record.h"
#include "core/io/read_pass.h"
#include "core/verify/trim.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;

// The sink in one pass and the tail-only analysis must agree on every image.
TrimInfo analyse(const Bytes& image, HeadFacts* head = nullptr)
{
    MemoryStream stream(image);
    TrimSink sink;
    ReadSink* sinks[] = {&sink};
    EXPECT_TRUE(readPass(stream, sinks));
    const TrimAnalysis tail = analyseTrim(stream, decodeHeader(RawHeader::read(stream)));
    EXPECT_EQ(tail.trim.usedSize, sink.trim().usedSize);
    EXPECT_EQ(tail.trim.state, sink.trim().state);
    EXPECT_EQ(tail.trim.paddingClean, sink.trim().paddingClean);
    EXPECT_EQ(tail.trim.paddingByte, sink.trim().paddingByte);
    EXPECT_EQ(tail.head.secureAreaForm, sink.head().secureAreaForm);
    EXPECT_EQ(tail.head.image, sink.head().image);
    EXPECT_EQ(tail.trim.chipSize, sink.trim().chipSize);
    // Blocks of a few bytes (an archive member) change nothing either.
    TrimSink small;
    for (std::size_t at = 0; at < image.size(); at += 7)
        small.consume(std::span(image).subspan(at, std::min<std::size_t>(7, image.size() - at)),
                      at);
    small.finish(image.size());
    EXPECT_EQ(small.trim().usedSize, sink.trim().usedSize);
    EXPECT_EQ(small.trim().paddingClean, sink.trim().paddingClean);
    EXPECT_EQ(small.trim().paddingByte, sink.trim().paddingByte);
    EXPECT_EQ(small.head().image, sink.head().image);
    if (head)
        *head = sink.head();
    return sink.trim();
}

// A DS image of 0x9000 used bytes on a 512 KiB chip (capacity 2).
Bytes image(std::size_t size, std::uint8_t padding = 0xFF)
{
    Bytes b = ImageBuilder().deviceCapacity(2).minSize(0x9000).build();
    b.resize(size, padding);
    return b;
}

TEST(Trim, StatesFromFileUsedAndChipSizes)
{
    const TrimInfo full = analyse(image(512 * 1024));
    EXPECT_EQ(full.state, TrimState::Full);
    EXPECT_EQ(full.usedSize, 0x9000u);
    EXPECT_EQ(full.chipSize, 512u * 1024);
    EXPECT_TRUE(full.paddingClean);
    EXPECT_EQ(full.paddingByte, 0xFF);

    EXPECT_EQ(analyse(image(0x9000)).state, TrimState::Trimmed);
    EXPECT_EQ(analyse(image(0x10000, 0x00)).paddingByte, 0x00);
    EXPECT_EQ(analyse(image(512 * 1024 + 1)).state, TrimState::Oversized);
    // Short by less than 0x200: the alignment padding homebrew tools leave off.
    EXPECT_EQ(analyse(image(0x9000 - 0x1FF)).state, TrimState::Trimmed);
    EXPECT_EQ(analyse(image(0x9000 - 0x200)).state, TrimState::OverTrimmed);
}

TEST(Trim, PaddingWithDataIsNotClean)
{
    Bytes b = image(0x20000);
    b[0x1FFFF] = 0x00;
    EXPECT_FALSE(analyse(b).paddingClean);
    Bytes mixed = image(0x20000, 0x00);
    mixed[0x9000] = 0xFF;
    EXPECT_FALSE(analyse(mixed).paddingClean);
}

TEST(Trim, DsiUsedSizeAndDownloadPlayBlock)
{
    // DSi bit with a non-zero word at 0x210: that word is the used size.
    Bytes dsi = ImageBuilder().unitCode(0x03).deviceCapacity(2).minSize(0x9000).build();
    dsi.resize(0x20000, 0xFF);
    dsi[0x210] = 0x00;
    dsi[0x211] = 0xA0;
    EXPECT_EQ(analyse(dsi).usedSize, 0xA000u);
    // DSi bit with a zero word: the DS used size stands.
    dsi[0x211] = 0x00;
    EXPECT_EQ(analyse(dsi).usedSize, 0x9000u);

    Bytes signed_ = image(0x20000);
    const Bytes block = {0x61, 0x63, 0x01, 0x00, 0x12, 0x34};
    std::copy(block.begin(), block.end(), signed_.begin() + 0x9000);
    const TrimInfo withBlock = analyse(signed_);
    EXPECT_TRUE(withBlock.downloadPlayBlock);
    EXPECT_EQ(withBlock.usedSize, 0x9088u);
    EXPECT_TRUE(withBlock.paddingClean); // the block's bytes are data, not padding
    EXPECT_EQ(withBlock.paddingByte, 0xFF);
    // The same block followed by 0x00 padding: clean too, whichever way it is read.
    Bytes zeros = image(0x20000, 0x00);
    std::copy(block.begin(), block.end(), zeros.begin() + 0x9000);
    const TrimInfo zeroPadded = analyse(zeros);
    EXPECT_TRUE(zeroPadded.downloadPlayBlock);
    EXPECT_TRUE(zeroPadded.paddingClean);
    EXPECT_EQ(zeroPadded.paddingByte, 0x00);
    // The same bytes without the magic are data after the used size.
    signed_[0x9000] = 0x60;
    const TrimInfo without = analyse(signed_);
    EXPECT_FALSE(without.downloadPlayBlock);
    EXPECT_EQ(without.usedSize, 0x9000u);
    EXPECT_FALSE(without.paddingClean);
}

TEST(SecureArea, EachForm)
{
    HeadFacts head;
    // The builder's ARM9 offset is 0: homebrew.
    analyse(image(0x9000), &head);
    EXPECT_EQ(head.secureAreaForm, SecureAreaForm::Homebrew);

    Bytes b = ImageBuilder().poke32(0x20, 0x4000).minSize(0x9000).build();
    // The builder fills the secure area with a pattern and leaves 0x200..0x3FFF zero.
    analyse(b, &head);
    EXPECT_EQ(head.secureAreaForm, SecureAreaForm::Encrypted);

    Bytes mask = b;
    mask[0x3000] = 1;
    analyse(mask, &head);
    EXPECT_EQ(head.secureAreaForm, SecureAreaForm::MaskRom);

    Bytes decrypted = b;
    const Bytes marker = {0xFF, 0xDE, 0xFF, 0xE7, 0xFF, 0xDE, 0xFF, 0xE7};
    std::copy(marker.begin(), marker.end(), decrypted.begin() + 0x4000);
    analyse(decrypted, &head);
    EXPECT_EQ(head.secureAreaForm, SecureAreaForm::Decrypted);

    Bytes multiboot = b;
    std::fill(multiboot.begin() + 0x4000, multiboot.begin() + 0x4008, 0);
    analyse(multiboot, &head);
    EXPECT_EQ(head.secureAreaForm, SecureAreaForm::Multiboot);

    // With the DSi bit, data in the DSi header half (0x200..0xFFF) says nothing.
    Bytes dsi = b;
    dsi[0x12] = 0x02;
    dsi[0x300] = 1;
    analyse(dsi, &head);
    EXPECT_EQ(head.secureAreaForm, SecureAreaForm::Encrypted);
    dsi[0x1000] = 1;
    analyse(dsi, &head);
    EXPECT_EQ(head.secureAreaForm, SecureAreaForm::MaskRom);
}

TEST(Trim, TinyAndHostileHeaders)
{
    // Shorter than the header: everything reads as zero, nothing breaks.
    const TrimInfo tiny = analyse(Bytes(100, 0x00));
    EXPECT_EQ(tiny.fileSize, 100u);
    EXPECT_EQ(tiny.state, TrimState::Trimmed);
    // A capacity byte above 0x0F names no chip: no shifted size, and the state comes from the
    // used size alone.
    Bytes noChip = image(0x9000);
    noChip[0x14] = 0x10;
    const TrimInfo unknown = analyse(noChip);
    EXPECT_EQ(unknown.chipSize, std::nullopt);
    EXPECT_EQ(unknown.state, TrimState::Unknown);
    EXPECT_EQ(trimStateName(unknown.state), std::string("unknown"));
    EXPECT_EQ(trimText(unknown), "Trim unknown: the capacity byte names no chip (36864 bytes; "
                                 "used 36864; chip unknown)");
    noChip[0x14] = 0xFF;
    noChip.resize(0x9000 - 0x200);
    EXPECT_EQ(analyse(noChip).state, TrimState::OverTrimmed);
    Bytes largest = image(0x9000);
    largest[0x14] = 0x0F;
    EXPECT_EQ(analyse(largest).chipSize, std::uint64_t{4} << 30);
    EXPECT_EQ(analyse(largest).state, TrimState::Trimmed);
    // A used size inside the header.
    Bytes small = image(0x9000);
    small[0x80] = 0x10;
    small[0x81] = small[0x82] = small[0x83] = 0;
    EXPECT_EQ(analyse(small).usedSize, 0x10u);
}

TEST(Trim, WhatIsADsImage)
{
    HeadFacts head;
    const Bytes built = image(0x9000); // stored CRC-16s right, logo not Nintendo's
    Bytes headerOnly(built.begin(), built.begin() + 0x160);
    Bytes badHeaderCrc = built;
    badHeaderCrc[0x15E] ^= 1;
    Bytes nintendoLogo = badHeaderCrc; // a wrong header CRC, but the logo CRC is CF56
    nintendoLogo[0x15C] = 0x56;
    nintendoLogo[0x15D] = 0xCF;
    struct Case {
        const char* what;
        Bytes bytes;
        bool image;
    };
    const Case cases[] = {
        {"built", built, true},
        {"the header alone", headerOnly, true},
        {"one byte short of a header", Bytes(headerOnly.begin(), headerOnly.end() - 1), false},
        {"six bytes", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, false},
        {"empty", Bytes{}, false},
        {"header CRC wrong", badHeaderCrc, false},
        {"header CRC wrong, logo CRC CF56", nintendoLogo, true},
        {"zeros", Bytes(0x9000, 0), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        analyse(c.bytes, &head);
        EXPECT_EQ(head.image, c.image);
    }
}

} // namespace
} // namespace cartscope::core
