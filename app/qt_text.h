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

// The decimal separator of the user's locale, for the numbers in scientific form the window
// shows ("1,5E19"); the command line keeps the point.
inline std::string localeDecimalPoint(const QLocale& locale = QLocale())
{
    return toCoreText(locale.decimalPoint());
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
