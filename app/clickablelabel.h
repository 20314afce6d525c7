#pragma once

#include <QLabel>

// A picture that acts like the face of the button it lies on: a click emits clicked(). It takes
// the focus in its turn but acts on no key: Enter goes on to the window (the refresh), and only
// the button beneath removes an entry by keyboard.
class ClickableLabel final : public QLabel
{
    Q_OBJECT
public:
    explicit ClickableLabel(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_pressed = false;
};
