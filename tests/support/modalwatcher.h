#pragma once

// Closes modal boxes that the code under test opens, and records them.
//
// While it runs, a timer on the GUI thread looks for
// QApplication::activeModalWidget() (the timer fires inside the box's own
// event loop). A QMessageBox is recorded (title, text, informative text) and
// closed by clicking the chosen button; any other modal dialog is recorded by
// its title and rejected.
//
//   ModalWatcher watcher;                         // answers OK
//   watcher.answerWith(QMessageBox::Cancel);      // or by button text:
//   watcher.answerWithText(QStringLiteral("否"));
//   window.doSomethingThatShowsABox();
//   QTRY_COMPARE(watcher.texts(), QStringList{"游戏不存在-6"});
//
// Answers can also be queued one per box (answerNext*); queued answers are
// used first, then the standing answer. An answer naming no button of the
// box presses the default button (with a warning).

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

class ModalWatcher : public QObject
{
    Q_OBJECT

public:
    struct Box {
        QString title;
        QString text;
        QString informativeText;
        QString clicked; // text of the button that closed it (empty if rejected)
    };

    // Starts watching at once, checking every intervalMs.
    explicit ModalWatcher(QObject* parent = nullptr, int intervalMs = 50);

    // Standing answer for every box (default QMessageBox::Ok).
    void answerWith(QMessageBox::StandardButton button);
    void answerWithText(const QString& buttonText);
    // An answer for the next box only.
    void answerNextWith(QMessageBox::StandardButton button);
    void answerNextWithText(const QString& buttonText);

    void start();
    void stop();

    // Called with each message box before it is answered, while it is still
    // open: the test may act, and wait, meanwhile.
    std::function<void(const Box&)> onOpen;

    QList<Box> boxes() const { return seen; }
    QStringList texts() const;
    QStringList titles() const;
    int count() const { return seen.size(); }
    void clear() { seen.clear(); }

signals:
    // Emitted after a box was recorded and closed.
    void boxClosed(const QString& title, const QString& text);

private:
    struct Answer {
        QMessageBox::StandardButton button = QMessageBox::Ok;
        QString text; // wins when not empty
    };

    void check();
    QAbstractButton* pick(QMessageBox* box, const Answer& answer) const;

    QTimer timer;
    Answer standing;
    QQueue<Answer> queued;
    QList<Box> seen;
    bool answering = false; // onOpen may run events, and this check again
};
