#pragma once

#include <string>
#include <string_view>

#include <QByteArray>
#include <QFile>
#include <QLocale>
#include <QString>

// Conversions at the window's edge. Texts from the core are UTF-8 (the 8-bit form of this
// platform); file names are the local 8-bit names that QFile encodes and decodes.
namespace cartscope::app {

inline QString fromCoreText(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

inline std::string toCoreText(const QString& text)
{
    return text.toStdString();
}

// Numbers in scientific form ("1.5E19") written with the decimal separator of the user's locale,
// as the window shows them; the command line keeps the point.
inline QString localisedNumbers(const QString& text, const QLocale& locale = QLocale())
{
    const QString separator = locale.decimalPoint();
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        bool scientific = false;
        if (text[i] == u'.' && i > 0 && text[i - 1].isDigit()) {
            qsizetype j = i + 1;
            while (j < text.size() && text[j].isDigit())
                ++j;
            scientific = j > i + 1 && j < text.size() && text[j] == u'E';
        }
        if (scientific)
            out += separator;
        else
            out += text[i];
    }
    return out;
}

inline QString fromLocalPath(const std::string& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

inline std::string toLocalPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

} // namespace cartscope::app
