#include "modalwatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QPushButton>

ModalWatcher::ModalWatcher(QObject* parent, int intervalMs) : QObject(parent)
{
    timer.setInterval(intervalMs);
    connect(&timer, &QTimer::timeout, this, &ModalWatcher::check);
    timer.start();
}

void ModalWatcher::answerWith(QMessageBox::StandardButton button)
{
    standing = Answer{button, QString()};
}

void ModalWatcher::answerWithText(const QString& buttonText)
{
    standing = Answer{QMessageBox::NoButton, buttonText};
}

void ModalWatcher::answerNextWith(QMessageBox::StandardButton button)
{
    queued.enqueue(Answer{button, QString()});
}

void ModalWatcher::answerNextWithText(const QString& buttonText)
{
    queued.enqueue(Answer{QMessageBox::NoButton, buttonText});
}

void ModalWatcher::start()
{
    timer.start();
}

void ModalWatcher::stop()
{
    timer.stop();
}

QStringList ModalWatcher::texts() const
{
    QStringList list;
    for (const Box& b : seen)
        list << b.text;
    return list;
}

QStringList ModalWatcher::titles() const
{
    QStringList list;
    for (const Box& b : seen)
        list << b.title;
    return list;
}

QAbstractButton* ModalWatcher::pick(QMessageBox* box, const Answer& answer) const
{
    const QList<QAbstractButton*> buttons = box->buttons();
    if (!answer.text.isEmpty()) {
        for (QAbstractButton* b : buttons)
            if (b->text() == answer.text || b->text().remove('&') == answer.text)
                return b;
        return nullptr;
    }
    return box->button(answer.button);
}

void ModalWatcher::check()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || answering)
        return;
    if (QPointer<QMessageBox> box = qobject_cast<QMessageBox*>(modal)) {
        if (onOpen) {
            answering = true;
            onOpen(Box{box->windowTitle(), box->text(), box->informativeText(), QString()});
            answering = false;
            if (!box)
                return;
        }
        const Answer answer = queued.isEmpty() ? standing : queued.dequeue();
        QAbstractButton* button = pick(box, answer);
        if (!button) {
            // A mistyped answer should not hang the test: take the default.
            qWarning("ModalWatcher: no such button, pressing the default one");
            button = box->defaultButton();
            if (!button && !box->buttons().isEmpty())
                button = box->buttons().first();
        }
        Box seenBox{box->windowTitle(), box->text(), box->informativeText(),
                    button ? button->text() : QString()};
        seen.append(seenBox);
        if (button)
            button->click();
        else
            box->reject();
        emit boxClosed(seenBox.title, seenBox.text);
        return;
    }
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
        Box seenBox{dialog->windowTitle(), QString(), QString(), QString()};
        seen.append(seenBox);
        dialog->reject();
        emit boxClosed(seenBox.title, seenBox.text);
    }
}
