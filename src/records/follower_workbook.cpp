// Streams follower rows into an .xlsx with libxlsxwriter's constant-memory mode.
#include "records/follower_workbook.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <xlsxwriter.h>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace veltrano {
namespace {

// The name the library's plain fopen() can open. On Windows fopen() reads names in the ANSI code
// page, where a folder such as 文档 may have no spelling at all; the short 8.3 alias of an existing
// file or folder is plain ASCII. Elsewhere the system's own encoding serves.
QByteArray libraryFileName(const QString &path)
{
#ifdef Q_OS_WIN
    const std::wstring wide = QDir::toNativeSeparators(path).toStdWString();
    const DWORD needed = GetShortPathNameW(wide.c_str(), nullptr, 0);
    if (needed > 0) {
        std::wstring shortName(needed, L'\0');
        const DWORD written = GetShortPathNameW(wide.c_str(), shortName.data(), needed);
        if (written > 0 && written < needed) {
            shortName.resize(written);
            const QString alias = QString::fromStdWString(shortName);
            if (QString::fromLocal8Bit(alias.toLocal8Bit()) == alias)
                return alias.toLocal8Bit();
        }
    }
    return path.toLocal8Bit();
#else
    return QFile::encodeName(path);
#endif
}

} // namespace

struct FollowerWorkbook::Book {
    QString path;
    QByteArray encodedPath;
    QByteArray tempFolder;
    qint64 rowsPerSheet = kSheetRows;
    lxw_workbook *workbook = nullptr;
    lxw_worksheet *sheet = nullptr;
    int sheets = 0;
    qint64 row = 0; // next row of the current sheet, counted from 0

    [[noreturn]] void fail(const QString &what, lxw_error error) const
    {
        const QString text =
            what + QStringLiteral("（") + QString::fromUtf8(lxw_strerror(error)) + u'）';
        throw ExportSinkError(text.toStdString());
    }

    void check(lxw_error error) const
    {
        if (error != LXW_NO_ERROR)
            fail(QStringLiteral("无法写入导出文件 ") + path, error);
    }

    void addSheet()
    {
        ++sheets;
        const QByteArray name = QByteArrayLiteral("sheet") + QByteArray::number(sheets);
        sheet = workbook_add_worksheet(workbook, name.constData());
        if (!sheet)
            fail(QStringLiteral("无法在导出文件中添加工作表 ") + path,
                 LXW_ERROR_MEMORY_MALLOC_FAILED);
        row = 0;
        const QStringList headers = profileMembers();
        for (int col = 0; col < headers.size(); ++col) {
            check(worksheet_write_string(sheet, 0, lxw_col_t(col),
                                         headers[col].toUtf8().constData(), nullptr));
        }
        row = 1;
    }

    void write(lxw_col_t col, const QJsonValue &value) const
    {
        const auto r = lxw_row_t(row);
        switch (value.type()) {
        case QJsonValue::Double:
            check(worksheet_write_number(sheet, r, col, value.toDouble(), nullptr));
            break;
        case QJsonValue::String:
            // An empty text leaves the cell empty, which is how a spreadsheet shows "".
            check(worksheet_write_string(sheet, r, col, value.toString().toUtf8().constData(),
                                         nullptr));
            break;
        case QJsonValue::Bool:
            check(worksheet_write_boolean(sheet, r, col, value.toBool() ? 1 : 0, nullptr));
            break;
        case QJsonValue::Array:
        case QJsonValue::Object: {
            const QJsonDocument doc =
                value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
            check(worksheet_write_string(sheet, r, col,
                                         doc.toJson(QJsonDocument::Compact).constData(), nullptr));
            break;
        }
        case QJsonValue::Null:
        case QJsonValue::Undefined: break; // an empty cell
        }
    }

    void free()
    {
        if (workbook) {
            lxw_workbook_free(workbook);
            workbook = nullptr;
        }
    }
};

FollowerWorkbook::FollowerWorkbook(const QString &path, qint64 rowsPerSheet)
    : m_book(std::make_unique<Book>())
{
    Book &b = *m_book;
    b.path = path;
    b.rowsPerSheet = qBound<qint64>(2, rowsPerSheet, kSheetRows);

    // The library opens the file only when it closes the workbook; trying it now means a folder we
    // cannot write to is reported before a single request is made.
    QFile probe(path);
    if (!probe.open(QIODevice::WriteOnly)) {
        const QString text = QStringLiteral("无法创建导出文件 ") + path + QStringLiteral("（")
                             + probe.errorString() + u'）';
        throw ExportSinkError(text.toStdString());
    }
    probe.close();
    b.encodedPath = libraryFileName(path);
    b.tempFolder = libraryFileName(QDir::tempPath());

    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    // Rows wait in a temporary file until the workbook is closed; left to itself the library would
    // put it in the root of drive C: on Windows, where a normal user may not write.
    options.tmpdir = b.tempFolder.data();
    b.workbook = workbook_new_opt(b.encodedPath.constData(), &options);
    if (!b.workbook) {
        QFile::remove(path);
        b.fail(QStringLiteral("无法创建导出文件 ") + path, LXW_ERROR_MEMORY_MALLOC_FAILED);
    }
    try {
        b.addSheet();
    } catch (...) {
        discard();
        throw;
    }
}

FollowerWorkbook::~FollowerWorkbook()
{
    if (m_book->workbook)
        discard();
}

void FollowerWorkbook::addFollower(const ProfileRow &row)
{
    Book &b = *m_book;
    if (!b.workbook)
        throw ExportSinkError("workbook already closed");
    if (b.row >= b.rowsPerSheet)
        b.addSheet();
    for (int col = 0; col < kProfileColumns; ++col)
        b.write(lxw_col_t(col), row[col]);
    ++b.row;
}

void FollowerWorkbook::finish()
{
    Book &b = *m_book;
    if (!b.workbook)
        return;
    const lxw_error error = workbook_close(b.workbook); // frees the workbook whatever the result
    b.workbook = nullptr;
    if (error != LXW_NO_ERROR) {
        QFile::remove(b.path);
        b.fail(QStringLiteral("无法保存导出文件 ") + b.path, error);
    }
}

void FollowerWorkbook::discard()
{
    m_book->free();
    QFile::remove(m_book->path);
}

} // namespace veltrano
