#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QAbstractScrollArea>

#include "core/io/stream.h"

namespace cartscope::app {

// The bytes of a stream as lines of 16: offset, the bytes in hex, the bytes as characters. It
// reads through the stream's pread a page at a time, only the pages of the lines asked for, and
// keeps the last few pages, so a file of any size costs what is on the screen.
class HexPages {
public:
    static constexpr std::size_t kLineBytes = 16;
    static constexpr std::size_t kPageBytes = 4096;
    static constexpr std::size_t kKeptPages = 8;

    explicit HexPages(std::shared_ptr<const core::Stream> bytes);

    std::uint64_t lineCount() const { return (m_size + kLineBytes - 1) / kLineBytes; }
    // "00000010  41 42 43 …  ABC…": the offset in 8 hex digits (more past 4 GiB), 16 bytes (fewer
    // on the last line, padded), their characters (printable ASCII, else ".").
    std::string line(std::uint64_t index);

private:
    const std::vector<std::uint8_t>& page(std::uint64_t number);

    struct Page {
        std::uint64_t number = ~std::uint64_t{0};
        std::uint64_t used = 0; // when it was last asked for
        std::vector<std::uint8_t> bytes;
    };
    std::shared_ptr<const core::Stream> m_bytes;
    std::uint64_t m_size = 0;
    std::uint64_t m_clock = 0;
    std::array<Page, kKeptPages> m_pages;
};

// The hex view: paints the lines that fit its viewport, scrolled by line.
class HexView final : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit HexView(QWidget* parent = nullptr);

    // The bytes to show (none: an empty view); shown from the first line.
    void setBytes(std::shared_ptr<const core::Stream> bytes);
    std::uint64_t lineCount() const { return m_pages ? m_pages->lineCount() : 0; }
    std::uint64_t firstLine() const;
    int visibleLines() const;
    // The text of one line as painted.
    QString lineText(std::uint64_t index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateScrollRange();
    int lineHeight() const;

    std::unique_ptr<HexPages> m_pages;
};

} // namespace cartscope::app
