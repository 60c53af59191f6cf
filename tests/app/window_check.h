// Looking at a window the way a user would: a picture of it saved next to
// the test program for a person to look at, and the checks a picture
// cannot be trusted to catch by eye: every label, button, group title and
// column heading shows its whole text, and controls lie inside the window
// without overlapping.
#pragma once

#include <unistd.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QAbstractItemModel>
#include <QTableView>
#include <QWidget>

#include <string>
#include <vector>

namespace windowcheck {

inline std::string besideTheProgram(const std::string& name)
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return name;
    std::string exe(buf, static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/') + 1) + name;
}

// Saves the window as <name>.png beside the test program; the path, or ""
// when the picture could not be saved.
inline std::string saveShot(QWidget* w, const std::string& name)
{
    const std::string path = besideTheProgram(name + ".png");
    if (!w || !w->grab().save(QString::fromStdString(path), "PNG"))
        return std::string();
    std::printf("%s: %s\n", name.c_str(), path.c_str());
    return path;
}

inline std::string where(const QWidget* w, const QString& text)
{
    return std::string(w->metaObject()->className()) + " \"" + text.toStdString() + "\" at (" +
           std::to_string(w->x()) + "," + std::to_string(w->y()) + ") " + std::to_string(w->width()) + "x" +
           std::to_string(w->height());
}

// Texts that do not show whole: labels (sunken ones show values, not
// labels, and are left out), buttons, check boxes, radio buttons, group
// titles and list headings. Hidden controls count too: a window shows them
// some time.
inline std::vector<std::string> cutTexts(QWidget* window)
{
    std::vector<std::string> out;
    for (QWidget* c : window->findChildren<QWidget*>()) {
        if (auto* l = qobject_cast<QLabel*>(c)) {
            if (l->text().isEmpty() || l->frameShape() != QFrame::NoFrame)
                continue;
            const QRect r = l->contentsRect();
            const bool fits = l->wordWrap() ? l->heightForWidth(r.width()) <= r.height()
                                            : l->sizeHint().width() <= r.width();
            if (!fits)
                out.push_back(where(l, l->text()));
        } else if (auto* b = qobject_cast<QPushButton*>(c)) {
            // The text and the frame's margins; not the style's minimum
            // width of a button, which a narrow one need not reach.
            const QFontMetrics fm(b->font());
            QStyleOptionButton opt;
            opt.initFrom(b);
            const int margin = b->style()->pixelMetric(QStyle::PM_ButtonMargin, &opt, b) +
                               2 * b->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, b);
            if (fm.horizontalAdvance(b->text().remove(QLatin1Char('&'))) + margin > b->width() ||
                fm.height() > b->height())
                out.push_back(where(b, b->text()));
        } else if (qobject_cast<QCheckBox*>(c) || qobject_cast<QRadioButton*>(c)) {
            auto* b = static_cast<QAbstractButton*>(c);
            if (b->sizeHint().width() > b->width() || b->fontMetrics().height() > b->height())
                out.push_back(where(b, b->text()));
        } else if (auto* g = qobject_cast<QGroupBox*>(c)) {
            const int indent = 2 * g->fontMetrics().horizontalAdvance(QLatin1Char('M'));
            if (g->fontMetrics().horizontalAdvance(g->title()) + indent > g->width())
                out.push_back(where(g, g->title()));
        } else if (auto* t = qobject_cast<QTableView*>(c)) {
            QHeaderView* h = t->horizontalHeader();
            const QAbstractItemModel* m = t->model();
            for (int i = 0; m && i < m->columnCount(); ++i) {
                const QString heading = m->headerData(i, Qt::Horizontal, Qt::DisplayRole).toString();
                if (!heading.isEmpty() && h->sectionSizeHint(i) > t->columnWidth(i))
                    out.push_back(where(t, heading) + " column " + std::to_string(i) + " is " +
                                  std::to_string(t->columnWidth(i)) + " wide, needs " +
                                  std::to_string(h->sectionSizeHint(i)));
            }
        }
    }
    return out;
}

// Cells whose text is wider than their column.
inline std::vector<std::string> cutCells(QTableView* t)
{
    std::vector<std::string> out;
    const QAbstractItemModel* m = t->model();
    const QFontMetrics fm(t->font());
    // The item view's own margin on either side of a cell's text.
    const int margin = 2 * (t->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, t) + 1);
    for (int r = 0; m && r < m->rowCount(); ++r)
        for (int c = 0; c < m->columnCount(); ++c) {
            const QString text = m->data(m->index(r, c), Qt::DisplayRole).toString();
            if (fm.horizontalAdvance(text) + margin > t->columnWidth(c))
                out.push_back(where(t, text) + " row " + std::to_string(r) + " column " + std::to_string(c));
        }
    return out;
}

// Controls outside the window, or two that overlap (group boxes hold
// others and are left out).
inline std::vector<std::string> misplaced(QWidget* window)
{
    std::vector<std::string> out;
    std::vector<QWidget*> shown;
    for (QWidget* c : window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (c->isHidden() || c->inherits("QGroupBox"))
            continue;
        if (!window->rect().contains(c->geometry()))
            out.push_back(where(c, QString()) + " lies outside");
        shown.push_back(c);
    }
    for (std::size_t i = 0; i < shown.size(); ++i)
        for (std::size_t j = i + 1; j < shown.size(); ++j)
            if (shown[i]->geometry().intersects(shown[j]->geometry()))
                out.push_back(where(shown[i], QString()) + " overlaps " + where(shown[j], QString()));
    return out;
}

} // namespace windowcheck
