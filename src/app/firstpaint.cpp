#include "app/firstpaint.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

namespace
{
class AfterFirstPaint : public QObject
{
public:
    AfterFirstPaint(QWidget* window, std::function<void()> call)
        : QObject(window), window(window), call(std::move(call))
    {
        // Watches the whole application: a modal box may come before the
        // first paint, and the call must not run inside the box's loop.
        qApp->installEventFilter(this);
        QTimer::singleShot(0, this, [this] {
            if (!this->window->isVisible())
                run();
        });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == window && event->type() == QEvent::Paint && !painted) {
            painted = true;
            // Queued: the painted window reaches the screen first.
            QTimer::singleShot(0, this, [this] { run(); });
        } else if (event->type() == QEvent::Show && watched->isWidgetType()) {
            const auto* shown = static_cast<QWidget*>(watched);
            if (shown->isWindow() && shown->isModal())
                run();
        }
        return false;
    }

private:
    void run()
    {
        if (!call)
            return;
        qApp->removeEventFilter(this);
        const std::function<void()> once = std::move(call);
        call = nullptr;
        deleteLater();
        once();
    }

    QWidget* window;
    std::function<void()> call;
    bool painted = false;
};
} // namespace

void runAfterFirstPaint(QWidget* window, std::function<void()> call)
{
    new AfterFirstPaint(window, std::move(call));
}
