#pragma once
#include <QLabel>

class QMouseEvent;

// A label that works as a link: bold, underlined, a hand cursor, and a click. It takes no
// keyboard focus.
class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    TLinkLabel(const QString& text, QWidget* parent);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false;
};
