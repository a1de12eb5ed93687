// The send-record viewer: pick a message type and a recent period, and list what was sent.
#pragma once

#include "core/settings.h"

#include "core/send_records.h"

#include <QWidget>

class QComboBox;
class QLabel;
class QPushButton;
class QTableView;

namespace veltrano {

class SendRecordModel;

class Form6 : public QWidget {
    Q_OBJECT
public:
    // Opens with "模板消息" and "最近一天" and starts the first query at once.
    explicit Form6(SharedSettings &live, QWidget *parent = nullptr);
    ~Form6() override;

    // The column headers and their designed widths in pixels (twips at 96 dpi); a column is
    // widened where its header or its cells need more.
    static QStringList columnHeaders();
    static QList<int> columnWidths();

    // True from a query's start until its rows (or its failure) are shown.
    bool isQuerying() const { return m_querying; }

    QLabel *Label1 = nullptr;
    QComboBox *Combo1 = nullptr;
    QLabel *Label2 = nullptr;
    QComboBox *Combo2 = nullptr;
    QPushButton *Command1 = nullptr;
    QTableView *ListView1 = nullptr;
    QLabel *statusLine = nullptr; // under the list: the row count, or why the query failed

public Q_SLOTS:
    void Command1_Click();

Q_SIGNALS:
    // The latest query has ended and the list shows its outcome.
    void queryFinished(bool ok);

protected:
    void changeEvent(QEvent *event) override;

private:
    void fitColumns();
    void Form_Load();
    void runQuery();
    void showResult(int generation, const SendRecordResult &result);

    SharedSettings &m_live;
    SendRecordModel *m_model = nullptr;
    int m_generation = 0;
    bool m_querying = false;
};

} // namespace veltrano
