#include "app/hex_view.h"

#include <algorithm>
#include <climits>

#include <QFontDatabase>
#include <QPainter>
#include <QScrollBar>

#include "core/base/hex.h"

namespace cartscope::app {

HexPages::HexPages(std::shared_ptr<const core::Stream> bytes)
    : m_bytes(std::move(bytes)), m_size(m_bytes ? m_bytes->size() : 0)
{}

const std::vector<std::uint8_t>& HexPages::page(std::uint64_t number)
{
    ++m_clock;
    for (Page& p : m_pages) {
        if (p.number == number) {
            p.used = m_clock;
            return p.bytes;
        }
    }
    Page& oldest = *std::min_element(m_pages.begin(), m_pages.end(),
                                     [](const Page& a, const Page& b) { return a.used < b.used; });
    const std::uint64_t start = number * kPageBytes;
    oldest.bytes.resize(
        static_cast<std::size_t>(std::min<std::uint64_t>(kPageBytes, m_size - start)));
    oldest.bytes.resize(m_bytes->pread(start, oldest.bytes));
    oldest.number = number;
    oldest.used = m_clock;
    return oldest.bytes;
}

std::string HexPages::line(std::uint64_t index)
{
    const std::uint64_t start = index * kLineBytes;
    if (index >= lineCount())
        return {};
    const std::vector<std::uint8_t>& bytes = page(start / kPageBytes);
    const std::size_t from = static_cast<std::size_t>(start % kPageBytes);
    const std::size_t count = from < bytes.size() ? std::min(kLineBytes, bytes.size() - from) : 0;
    std::string out;
    core::appendHex(out, start, m_size > 0xFFFFFFFFull ? 10 : 8);
    out += "  ";
    for (std::size_t i = 0; i < kLineBytes; ++i) {
        if (i < count)
            core::appendHex(out, bytes[from + i], 2);
        else
            out += "  ";
        out += i == 7 ? "  " : " ";
    }
    out += ' ';
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[from + i];
        out += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
    }
    return out;
}

HexView::HexView(QWidget* parent) : QAbstractScrollArea(parent)
{
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    verticalScrollBar()->setSingleStep(1);
}

void HexView::setBytes(std::shared_ptr<const core::Stream> bytes)
{
    m_pages = bytes ? std::make_unique<HexPages>(std::move(bytes)) : nullptr;
    verticalScrollBar()->setValue(0);
    updateScrollRange();
    viewport()->update();
}

int HexView::lineHeight() const
{
    return std::max(1, fontMetrics().height());
}

int HexView::visibleLines() const
{
    return std::max(1, viewport()->height() / lineHeight());
}

std::uint64_t HexView::firstLine() const
{
    return static_cast<std::uint64_t>(std::max(0, verticalScrollBar()->value()));
}

QString HexView::lineText(std::uint64_t index)
{
    return m_pages ? QString::fromStdString(m_pages->line(index)) : QString();
}

void HexView::updateScrollRange()
{
    // The scroll bar counts lines in an int: 2^31 lines of 16 bytes are 32 GiB, more than any
    // image holds.
    const std::uint64_t lines = lineCount();
    const auto visible = static_cast<std::uint64_t>(visibleLines());
    const std::uint64_t last = lines > visible ? lines - visible : 0;
    verticalScrollBar()->setRange(0, static_cast<int>(std::min<std::uint64_t>(last, INT_MAX)));
    verticalScrollBar()->setPageStep(visibleLines());
    const int width = fontMetrics().horizontalAdvance(QString(80, QLatin1Char('0')));
    horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
}

void HexView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollRange();
}

void HexView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), palette().base());
    if (!m_pages)
        return;
    painter.setPen(palette().text().color());
    const int height = lineHeight();
    const int ascent = fontMetrics().ascent();
    const int x = -horizontalScrollBar()->value() + 4;
    const std::uint64_t first = firstLine();
    // One line past the last whole one, which the viewport shows in part.
    for (int row = 0; row <= visibleLines(); ++row) {
        const std::uint64_t index = first + static_cast<std::uint64_t>(row);
        if (index >= m_pages->lineCount())
            break;
        painter.drawText(x, row * height + ascent, QString::fromStdString(m_pages->line(index)));
    }
}

} // namespace cartscope::app
