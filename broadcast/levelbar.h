#pragma once
#include <QByteArray>
#include <QImage>
#include <QList>
#include <QPaintEvent>
#include <QPainter>
#include <QProgressBar>
#include <QStyle>
#include <QStyleOptionProgressBar>

// The level bar moves twenty times a second over the go-on-air button: it paints every one of its
// pixels itself, so that a step repaints the bar alone and not the button and its text beneath.
// Only the frame's rounded corners let what lies beneath show through: the bar paints them over
// a copy of what lies beneath, taken again after anything beneath has been painted. A step
// repaints them only when it changes the rows they lie on (the level leaving or reaching the
// bottom or the top).
class LevelBar : public QProgressBar {
public:
    explicit LevelBar(QWidget* parent) : QProgressBar(parent)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        // What lies beneath changes only when it is painted.
        for (QObject* o : parent->children()) {
            auto* sibling = qobject_cast<QWidget*>(o);
            if (sibling && sibling != this)
                sibling->installEventFilter(this);
        }
    }

    // Moves the bar to value (within the range) and marks what changes for painting.
    void step(int value)
    {
        const bool edgesChange = edgeLook(value) != edgeLook(this->value());
        // QProgressBar repaints the whole bar at once for a big step: held off, the changed part
        // is marked instead (one rectangle: the style paints a region of several differently).
        setAttribute(Qt::WA_UpdatesDisabled, true);
        setValue(value);
        setAttribute(Qt::WA_UpdatesDisabled, false);
        update(edgesChange ? rect() : rect().adjusted(0, Corner, 0, -Corner));
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        const QRegion under = corners() & event->region();
        if (!under.isEmpty()) {
            if (m_beneath.size() != size() * devicePixelRatioF())
                m_beneath = QImage();
            if (m_beneath.isNull()) {
                const qreal dpr = devicePixelRatioF();
                m_beneath = QImage(size() * dpr, QImage::Format_ARGB32_Premultiplied);
                m_beneath.setDevicePixelRatio(dpr);
                m_beneath.fill(Qt::transparent);
                m_rendering = true;
                for (const QRect& r : corners())
                    renderBeneath(r);
                m_rendering = false;
            }
            QPainter p(this);
            for (const QRect& r : under)
                p.drawImage(r, m_beneath,
                            QRectF(r.topLeft() * m_beneath.devicePixelRatio(),
                                   r.size() * m_beneath.devicePixelRatio()));
        }
        QProgressBar::paintEvent(event);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Only a widget created before the bar lies under it, and one that changes there
        // repaints around the bar too (the bar itself is left out of its paint). The parent
        // paints no more than its background, which changes only with what the bar hears of too
        // (palette, style, size).
        if (event->type() == QEvent::Paint && !m_beneath.isNull() && !m_rendering &&
            isBeneath(watched)) {
            auto* w = static_cast<QWidget*>(watched);
            const QRect around = geometry().adjusted(-Corner, -Corner, Corner, Corner);
            if (static_cast<QPaintEvent*>(event)->region().translated(w->pos()).intersects(around))
                m_beneath = QImage();
        }
        return QProgressBar::eventFilter(watched, event);
    }

    void changeEvent(QEvent* event) override
    {
        m_looks.clear();
        m_beneath = QImage();
        QProgressBar::changeEvent(event);
    }

    void resizeEvent(QResizeEvent* event) override
    {
        m_looks.clear();
        m_beneath = QImage();
        QProgressBar::resizeEvent(event);
    }

    void moveEvent(QMoveEvent* event) override
    {
        m_beneath = QImage();
        QProgressBar::moveEvent(event);
    }

private:
    static constexpr int Corner = 3; // the frame's radius and its antialiasing

    QRegion corners() const
    {
        const int w = width() - Corner;
        const int h = height() - Corner;
        QRegion r;
        for (const QPoint at : {QPoint(0, 0), QPoint(w, 0), QPoint(0, h), QPoint(w, h)})
            r += QRect(at, QSize(Corner, Corner));
        return r;
    }

    // The pixels of the rows with the corners as the style paints them at value, kept for each
    // value.
    QByteArray edgeLook(int value)
    {
        const int slot = value - minimum();
        if (slot < 0 || slot > maximum() - minimum())
            return {};
        if (m_looks.size() <= slot)
            m_looks.resize(slot + 1);
        QByteArray& look = m_looks[slot];
        if (!look.isEmpty())
            return look;
        QImage img(size(), QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        {
            QPainter p(&img);
            QStyleOptionProgressBar opt;
            initStyleOption(&opt);
            opt.progress = value;
            style()->drawControl(QStyle::CE_ProgressBar, &opt, &p, this);
        }
        const auto rows = [&img](int from) {
            return QByteArray(reinterpret_cast<const char*>(img.constScanLine(from)),
                              img.bytesPerLine() * Corner);
        };
        look = rows(0) + rows(img.height() - Corner);
        return look;
    }

    bool isBeneath(QObject* o) const
    {
        for (QObject* c : parent()->children()) {
            if (c == this)
                return false;
            if (c == o)
                return true;
        }
        return false;
    }

    // Paints into m_beneath what the parent and the widgets stacked under the bar show in r (the
    // bar's coordinates).
    void renderBeneath(const QRect& r)
    {
        QWidget* parent = parentWidget();
        const QRect inParent = r.translated(pos());
        parent->render(&m_beneath, r.topLeft(), QRegion(inParent), QWidget::DrawWindowBackground);
        for (QObject* o : parent->children()) {
            if (o == this)
                break;
            auto* sibling = qobject_cast<QWidget*>(o);
            if (!sibling || !sibling->isVisible() || sibling->isWindow())
                continue;
            const QRect part = inParent & sibling->geometry();
            if (part.isEmpty())
                continue;
            QWidget::RenderFlags flags = QWidget::DrawChildren;
            if (sibling->autoFillBackground())
                flags |= QWidget::DrawWindowBackground;
            sibling->render(&m_beneath, part.topLeft() - pos(),
                            QRegion(part.translated(-sibling->pos())), flags);
        }
    }

    QList<QByteArray> m_looks;
    QImage m_beneath; // the corners' part of it; null: to be rendered again
    bool m_rendering = false;
};
