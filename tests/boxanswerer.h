#pragma once

// Answers every message box that a test's code opens: a timer finds the
// active modal box, records it and presses the button the test chose.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <functional>

class BoxAnswerer : public QObject
{
public:
    struct Box {
        QString title;
        QString text;
        QString informativeText;
        QStringList buttons;
    };

    // Which button to press; Ok unless told otherwise.
    std::function<QMessageBox::StandardButton(const Box&)> choose;
    QList<Box> boxes;

    BoxAnswerer()
    {
        connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        timer.start(20);
    }

    QStringList texts() const
    {
        QStringList result;
        for (const Box& box : boxes)
            result << box.text + box.informativeText;
        return result;
    }

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box == answered)
            return;
        Box seen{box->windowTitle(), box->text(), box->informativeText(), {}};
        for (QAbstractButton* button : box->buttons())
            seen.buttons << button->text();
        boxes << seen;
        answered = box;
        const QMessageBox::StandardButton which = choose ? choose(seen) : QMessageBox::Ok;
        if (QAbstractButton* button = box->button(which))
            button->click();
        else
            box->reject();
    }

    QTimer timer;
    QPointer<QMessageBox> answered;
};
