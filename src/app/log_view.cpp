// The log model and view: coalesced insertions at the top, a bounded deque, a one-line delegate.
#include "app/log_view.h"

#include "core/logger.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QPainter>
#include <QStyledItemDelegate>

#include <algorithm>

namespace veltrano {
namespace {

// Repaints come no faster than this; a burst of lines waits at most this long to be shown.
constexpr int kFlushMs = 40;

// Log rows are one text line high whatever their length (their height costs nothing to know);
// only the few note rows are measured, wrapped to the view's width.
class LogDelegate : public QStyledItemDelegate {
public:
    LogDelegate(const LogModel &model, QListView *view)
        : QStyledItemDelegate(view), m_model(model), m_view(view)
    {}

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QFontMetrics metrics(option.font);
        if (!m_model.isNote(index.row()))
            return {1, metrics.height() + 2};
        const int width = std::max(50, m_view->viewport()->width() - 8);
        const QString text = index.data().toString();
        const QRect bounds = metrics.boundingRect(QRect(0, 0, width, 1 << 20), Qt::TextWordWrap,
                                                  text.isEmpty() ? QStringLiteral(" ") : text);
        return {1, bounds.height() + 2};
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        if (m_model.isNote(index.row())) {
            opt.features |= QStyleOptionViewItem::WrapText;
        } else {
            opt.features &= ~QStyleOptionViewItem::WrapText;
            opt.textElideMode = Qt::ElideRight;
        }
        QStyle *style = opt.widget ? opt.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);
    }

private:
    const LogModel &m_model;
    QListView *m_view;
};

} // namespace

LogModel::LogModel(int cap, QObject *parent) : QAbstractListModel(parent), m_cap(cap)
{
    m_flush.setSingleShot(true);
    m_flush.setInterval(kFlushMs);
    connect(&m_flush, &QTimer::timeout, this, &LogModel::flush);
}

void LogModel::addLine(const QString &line)
{
    addLines({line});
}

void LogModel::addLines(const QStringList &lines)
{
    m_pending.append(lines);
    // Lines that could never be shown are not kept waiting either.
    if (m_pending.size() > 2 * m_cap)
        m_pending.erase(m_pending.begin(), m_pending.end() - m_cap);
    if (!m_flush.isActive())
        m_flush.start();
}

void LogModel::flush()
{
    m_flush.stop();
    if (m_pending.isEmpty())
        return;
    const int take = std::min<int>(int(m_pending.size()), m_cap);
    beginInsertRows({}, 0, take - 1);
    for (qsizetype i = m_pending.size() - take; i < m_pending.size(); ++i)
        m_lines.push_front(m_pending[i]);
    endInsertRows();
    m_pending.clear();
    if (int(m_lines.size()) > m_cap) {
        beginRemoveRows({}, m_cap, int(m_lines.size()) - 1);
        m_lines.resize(size_t(m_cap));
        endRemoveRows();
    }
}

void LogModel::setNote(const QString &note)
{
    beginResetModel();
    m_note = note.split(u'\n');
    endResetModel();
}

QString LogModel::text() const
{
    QStringList all;
    all.reserve(qsizetype(m_lines.size()) + m_note.size());
    for (const QString &line : m_lines)
        all.append(line);
    all.append(m_note);
    return all.join(u'\n');
}

int LogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_lines.size()) + int(m_note.size());
}

QVariant LogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    const int row = index.row();
    const QString &text = isNote(row) ? m_note.at(row - lineCount()) : m_lines[size_t(row)];
    if (role == Qt::ToolTipRole && (isNote(row) || text.size() < 80))
        return {}; // the whole line is in view already
    return text;
}

LogView::LogView(int cap, QWidget *parent)
    : QListView(parent), m_model(cap), m_feed(new LogFeed(this))
{
    // The lines are taken at the next flush, not now: a batch logging one line at a time would
    // otherwise wake this thread for every line. The feed signals again only after a take.
    m_pull.setSingleShot(true);
    m_pull.setInterval(kFlushMs);
    connect(m_feed, &LogFeed::linesPending, &m_pull, qOverload<>(&QTimer::start));
    connect(&m_pull, &QTimer::timeout, this, [this] {
        m_model.addLines(m_feed->take());
        m_model.flush();
    });
    setModel(&m_model);
    setItemDelegate(new LogDelegate(m_model, this));
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setResizeMode(QListView::Adjust); // the note wraps anew when the window changes width

    auto *copy = new QAction(QStringLiteral("复制"), this);
    connect(copy, &QAction::triggered, this, &LogView::copySelection);
    auto *all = new QAction(QStringLiteral("全选"), this);
    connect(all, &QAction::triggered, this, &QAbstractItemView::selectAll);
    addActions({copy, all});
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

QString LogView::toPlainText()
{
    m_model.addLines(m_feed->take());
    m_model.flush();
    return m_model.text();
}

void LogView::copySelection()
{
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex &row : rows)
        lines.append(row.data(Qt::DisplayRole).toString());
    if (!lines.isEmpty())
        QApplication::clipboard()->setText(lines.join(u'\n'));
}

void LogView::keyPressEvent(QKeyEvent *event)
{
    if (event == QKeySequence::Copy) {
        copySelection();
        return;
    }
    QListView::keyPressEvent(event);
}

} // namespace veltrano
