// The export's workbook: an .xlsx streamed row by row, so memory stays flat however many followers.
#pragma once

#include "core/followers.h"

#include <QString>

#include <memory>

namespace veltrano {

class FollowerWorkbook : public FollowerSink {
public:
    // The most rows a sheet holds, the header row included.
    static constexpr qint64 kSheetRows = 1048576;

    // Starts the workbook at `path` with the header row on sheet "sheet1". A sheet that fills up
    // continues on "sheet2", "sheet3" … with its own header row (rowsPerSheet is lowered only by
    // tests). Throws ExportSinkError when the file cannot be created.
    explicit FollowerWorkbook(const QString &path, qint64 rowsPerSheet = kSheetRows);
    // An unfinished workbook is closed and its file removed.
    ~FollowerWorkbook() override;
    FollowerWorkbook(const FollowerWorkbook &) = delete;
    FollowerWorkbook &operator=(const FollowerWorkbook &) = delete;

    void addFollower(const ProfileRow &row) override;

    // Writes the file out; throws ExportSinkError when it cannot be written.
    void finish();
    // Drops the workbook and removes its file.
    void discard();

private:
    struct Book;
    std::unique_ptr<Book> m_book;
};

} // namespace veltrano
