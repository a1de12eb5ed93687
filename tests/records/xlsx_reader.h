// Reads a written workbook back (an .xlsx is a zip of XML): sheet names, and each cell's type and
// text.
#pragma once

#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QXmlStreamReader>
#ifdef Q_OS_WIN
#include <QtGui/private/qzipreader_p.h>
#endif

namespace veltrano::testsupport {

struct XlsxCell {
    QString type; // "n" for numbers, "inlineStr" for texts, "b" for Booleans
    QString text; // the number as written, or the text itself
};

// One sheet: cells by row (1-based) and column letter.
struct XlsxSheet {
    QMap<int, QMap<QString, XlsxCell>> rows;

    XlsxCell cell(int row, const QString &column) const { return rows.value(row).value(column); }
    QStringList texts(int row) const
    {
        QStringList out;
        for (const char *column : {"A", "B", "C", "D", "E", "F", "G", "H"})
            out << cell(row, QString::fromLatin1(column)).text;
        return out;
    }
};

inline QByteArray xlsxPart(const QString &file, const QString &part)
{
#ifdef Q_OS_WIN
    // Windows has no unzip of its own to ask; Qt's reader is at hand there.
    QZipReader zip(file);
    return zip.status() == QZipReader::NoError ? zip.fileData(part) : QByteArray();
#endif
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-p"), file, part});
    if (!unzip.waitForFinished(60000) || unzip.exitCode() != 0)
        return {};
    return unzip.readAllStandardOutput();
}

// The names of the workbook's sheets, in order.
inline QStringList xlsxSheetNames(const QString &file)
{
    QStringList names;
    QXmlStreamReader xml(xlsxPart(file, QStringLiteral("xl/workbook.xml")));
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == u"sheet")
            names << xml.attributes().value(QStringLiteral("name")).toString();
    }
    return names;
}

inline XlsxSheet readXlsxSheet(const QString &file, int number = 1)
{
    XlsxSheet sheet;
    QXmlStreamReader xml(xlsxPart(file, QStringLiteral("xl/worksheets/sheet%1.xml").arg(number)));
    static const QRegularExpression refPattern(QStringLiteral("^([A-Z]+)(\\d+)$"));
    QString column;
    int row = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == u"c") {
            const auto match =
                refPattern.match(xml.attributes().value(QStringLiteral("r")).toString());
            column = match.captured(1);
            row = match.captured(2).toInt();
            sheet.rows[row][column].type =
                xml.attributes().hasAttribute(QStringLiteral("t"))
                    ? xml.attributes().value(QStringLiteral("t")).toString()
                    : QStringLiteral("n");
        } else if (xml.name() == u"v" || xml.name() == u"t") {
            sheet.rows[row][column].text += xml.readElementText();
        }
    }
    return sheet;
}

} // namespace veltrano::testsupport
