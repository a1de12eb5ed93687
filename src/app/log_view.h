// The main window's log: newest line on top, the usage note below, at a constant cost per line.
#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <QStringList>
#include <QTimer>

#include <deque>

namespace veltrano {

// The newest `cap` lines, newest first, then the note's lines. Lines that arrive between two
// repaints are put in with one insertion and the overflow dropped with one removal, so however fast
// lines come, each costs the GUI thread O(1) and the view lays out once per flush.
class LogModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit LogModel(int cap, QObject *parent = nullptr);

    void addLine(const QString &line); // shown at the next flush
    void addLines(const QStringList &lines);
    void flush();
    void setNote(const QString &note);
    int lineCount() const { return int(m_lines.size()); }
    bool isNote(int row) const { return row >= lineCount(); }
    // Lines and note as one text, as a plain text box would hold them.
    QString text() const;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

private:
    int m_cap;
    std::deque<QString> m_lines; // newest first
    QStringList m_pending;       // oldest first
    QStringList m_note;
    QTimer m_flush;
};

class LogFeed;

// A list view over the model, fed by every line the logger reports from any thread: lines are
// selectable and copied with Ctrl+C (or the context menu); log lines stay one line high and show
// their whole text as a tool tip, the note wraps.
class LogView : public QListView {
    Q_OBJECT
public:
    explicit LogView(int cap, QWidget *parent = nullptr);

    void addLine(const QString &line) { m_model.addLine(line); }
    void setNote(const QString &note) { m_model.setNote(note); }
    // Everything shown, pending lines included.
    QString toPlainText();
    LogModel &model() { return m_model; }
    void copySelection();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    LogModel m_model;
    LogFeed *m_feed;
    QTimer m_pull; // takes the feed's lines once per flush
};

} // namespace veltrano
