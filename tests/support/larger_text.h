// Larger text for one test (1.5 times the point size), and the check that a window's text still
// fits.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>
#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

namespace veltrano::testsupport {

// Sets the application font to `factor` times its point size until the end of the scope, so the
// next tests see the normal size again.
class LargerText {
public:
    explicit LargerText(double factor = 1.5) : m_saved(QApplication::font())
    {
        QFont larger = m_saved;
        larger.setPointSizeF(m_saved.pointSizeF() * factor);
        QApplication::setFont(larger);
    }
    ~LargerText() { QApplication::setFont(m_saved); }
    LargerText(const LargerText &) = delete;
    LargerText &operator=(const LargerText &) = delete;

private:
    QFont m_saved;
};

// The window's title (name "") and each named child's text, exactly as the operator reads them.
inline void expectCaptions(const QWidget &window,
                           std::initializer_list<std::pair<const char *, const char *>> captions)
{
    for (const auto &[name, text] : captions) {
        const QObject *child = window.findChild<QObject *>(QString::fromLatin1(name));
        const QString shown =
            *name ? (child ? child->property("text").toString() : QStringLiteral("<missing>"))
                  : window.windowTitle();
        EXPECT_EQ(shown, QString::fromUtf8(text)) << (*name ? name : "title");
    }
}

// Every visible label, button and box of the shown window has the room its text asks for, and lies
// inside the window.
inline void expectTextFits(const QWidget &window)
{
    const QRect inside = window.rect();
    for (QWidget *w : window.findChildren<QWidget *>()) {
        // A combo box's own editor is sized by the combo box, which is checked itself.
        if (!w->isVisible() || w->isWindow() || qobject_cast<QComboBox *>(w->parentWidget()))
            continue;
        const std::string name = w->objectName().toStdString();
        const QSize wanted = w->sizeHint();
        if (auto *label = qobject_cast<QLabel *>(w); label && label->wordWrap()) {
            EXPECT_LE(label->heightForWidth(label->width()), label->height()) << name;
        } else if (qobject_cast<QLabel *>(w) || qobject_cast<QAbstractButton *>(w)) {
            EXPECT_LE(wanted.width(), w->width()) << name;
            EXPECT_LE(wanted.height(), w->height()) << name;
        } else if (qobject_cast<QLineEdit *>(w) || qobject_cast<QComboBox *>(w)) {
            EXPECT_LE(wanted.height(), w->height()) << name;
        }
        if (w->parentWidget() == &window) {
            EXPECT_TRUE(inside.contains(w->geometry())) << name;
        }
    }
}

} // namespace veltrano::testsupport
