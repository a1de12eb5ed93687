// The viewer's window: the two boxes, the query off the GUI thread, the list and its status line.
#include "records/form6.h"

#include "core/async.h"

#include "ui/app_icon.h"
#include "ui/window_keys.h"

#include <QAbstractTableModel>
#include <QBoxLayout>
#include <QComboBox>
#include <QEvent>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QThreadPool>

namespace veltrano {
namespace {
constexpr int kClientWidth = 729;  // 10,935 twips
constexpr int kClientHeight = 360; // 5,400 twips

constexpr int kStatusColumn = 3; // "发送状态"
constexpr int kCodeColumn = 4;   // "状态代码"
constexpr int kJsonColumn = 5;   // "JSON"
constexpr int kNoteField = 6;    // in a row's texts: WeChat's errmsg, after the six shown fields

int px(int twips)
{
    return qRound(twips / 15.0);
}
} // namespace

// The rows of the latest successful query: the running number, then fields 1 to 6.
class SendRecordModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    void setRows(QList<QStringList> rows)
    {
        beginResetModel();
        m_rows = std::move(rows);
        endResetModel();
    }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : int(m_rows.size());
    }

    int columnCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : int(Form6::columnHeaders().size());
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
            return QVariant();
        if (index.column() == 0)
            return QString::number(index.row() + 1);
        const QStringList &row = m_rows.at(index.row());
        // The status and its code alone do not say why WeChat refused a message; its errmsg does.
        if (role == Qt::ToolTipRole
            && (index.column() == kStatusColumn || index.column() == kCodeColumn)) {
            const QString note = row.value(kNoteField);
            if (!note.isEmpty())
                return note;
        }
        return index.column() - 1 < kNoteField ? row.value(index.column() - 1) : QString();
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal)
            return QVariant();
        if (role == Qt::DisplayRole)
            return Form6::columnHeaders().value(section);
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
        return QVariant();
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        // Readable and selectable, never editable.
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

private:
    QList<QStringList> m_rows;
};

Form6::Form6(SharedSettings &live, QWidget *parent) : QWidget(parent, Qt::Window), m_live(live)
{
    setObjectName(QStringLiteral("Form6"));
    setWindowTitle(QStringLiteral("发送记录"));
    setWindowIcon(ui::appIcon());
    ui::closeOnEscape(this);

    Label1 = new QLabel(QStringLiteral("消息类型："), this);
    Label1->setObjectName(QStringLiteral("Label1"));

    Combo1 = new QComboBox(this);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Combo1->addItems({QStringLiteral("模板消息"), QStringLiteral("客服消息")});
    Combo1->setEditText(QStringLiteral("模板消息"));
    Combo1->setMinimumWidth(px(1455));
    Label1->setBuddy(Combo1);

    Label2 = new QLabel(QStringLiteral("期间："), this);
    Label2->setObjectName(QStringLiteral("Label2"));

    Combo2 = new QComboBox(this);
    Combo2->setObjectName(QStringLiteral("Combo2"));
    Combo2->setEditable(true);
    Combo2->setInsertPolicy(QComboBox::NoInsert);
    Combo2->addItems({QStringLiteral("最近一天"), QStringLiteral("最近一周"),
                      QStringLiteral("最近一月"), QStringLiteral("最近三月")});
    Combo2->setEditText(QStringLiteral("最近一天"));
    Combo2->setMinimumWidth(px(1575));
    Label2->setBuddy(Combo2);

    Command1 = new QPushButton(QStringLiteral("查询"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setMinimumSize(px(1695), px(375));

    m_model = new SendRecordModel(this);
    ListView1 = new QTableView(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setModel(m_model);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The two presentation options of the report view: whole rows are selected, and grid lines
    // separate the cells.
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setShowGrid(true);
    ListView1->setWordWrap(false);
    ListView1->verticalHeader()->hide();
    ListView1->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ListView1->horizontalHeader()->setHighlightSections(false);
    ListView1->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);

    statusLine = new QLabel(this);
    statusLine->setObjectName(QStringLiteral("statusLine"));
    statusLine->setTextInteractionFlags(Qt::TextSelectableByMouse);

    // Layouts rather than fixed places: the window can be resized (the list takes the room) and
    // larger text widens the controls instead of being cut.
    auto *query = new QHBoxLayout;
    query->setSpacing(px(120));
    query->addWidget(Label1);
    query->addWidget(Combo1);
    query->addWidget(Label2);
    query->addWidget(Combo2);
    query->addWidget(Command1);
    query->addStretch();
    auto *page = new QVBoxLayout(this);
    page->setContentsMargins(px(240), px(240), px(120), 4);
    page->setSpacing(4);
    page->addLayout(query);
    page->addSpacing(px(840 - 240 - 375) - 4);
    page->addWidget(ListView1, 1);
    page->addWidget(statusLine);
    fitColumns();
    resize(QSize(kClientWidth, kClientHeight).expandedTo(minimumSizeHint()));

    connect(Command1, &QPushButton::clicked, this, &Form6::Command1_Click);
    Form_Load();
}

void Form6::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        fitColumns();
}

void Form6::fitColumns()
{
    // Each column is as wide as designed, or as its header and cells need where that is more;
    // the JSON column keeps its width (its whole text is in the tooltip).
    ListView1->verticalHeader()->setDefaultSectionSize(ListView1->fontMetrics().height() + 6);
    const QList<int> widths = columnWidths();
    QHeaderView *header = ListView1->horizontalHeader();
    for (int c = 0; c < widths.size(); ++c) {
        int width = qMax(widths[c], header->sectionSizeHint(c));
        if (c != kJsonColumn && m_model->rowCount() > 0)
            width = qMax(width,
                         static_cast<const QAbstractItemView *>(ListView1)->sizeHintForColumn(c));
        ListView1->setColumnWidth(c, width);
    }
}

Form6::~Form6() = default;

QStringList Form6::columnHeaders()
{
    return {QStringLiteral("序号"),     QStringLiteral("消息类型"), QStringLiteral("OPENID"),
            QStringLiteral("发送状态"), QStringLiteral("状态代码"), QStringLiteral("JSON"),
            QStringLiteral("发送时间")};
}

QList<int> Form6::columnWidths()
{
    return {px(500), px(1200), px(2800), px(500), px(1200), px(5000), px(1000)};
}

void Form6::Form_Load()
{
    runQuery();
}

void Form6::Command1_Click()
{
    runQuery();
}

void Form6::runQuery()
{
    const QString type = Combo1->currentText();
    const QString period = Combo2->currentText();
    const int generation = ++m_generation;
    m_querying = true;
    statusLine->setText(QStringLiteral("正在查询……"));

    // Off the GUI thread, so an unreachable server never freezes the window; the shared pool, not
    // the batch worker, so a query never waits behind a batch or an export. Once the window is
    // gone, a late result is simply dropped.
    runThen(
        *QThreadPool::globalInstance(), this,
        [&live = m_live, type, period] { return querySendRecords(live, type, period); },
        [this, generation](const SendRecordResult &result) { showResult(generation, result); });
}

void Form6::showResult(int generation, const SendRecordResult &result)
{
    // Only the latest query speaks: an earlier, slower one must not overwrite its answer.
    if (generation != m_generation)
        return;
    m_querying = false;
    if (result.ok) {
        m_model->setRows(result.rows);
        fitColumns();
        statusLine->setText(QStringLiteral("共 %1 条记录").arg(result.rows.size()));
    } else {
        // The list keeps what it showed; the line says the query failed and why.
        statusLine->setText(QStringLiteral("查询失败：") + result.error.simplified());
    }
    statusLine->setToolTip(statusLine->text());
    Q_EMIT queryFinished(result.ok);
}

} // namespace veltrano
