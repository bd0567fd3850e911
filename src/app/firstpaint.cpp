#include "app/firstpaint.h"

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
        window->installEventFilter(this);
        QTimer::singleShot(0, this, [this] {
            if (!this->window->isVisible())
                run();
        });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == window && event->type() == QEvent::Paint) {
            window->removeEventFilter(this);
            // Queued: the painted window reaches the screen first.
            QTimer::singleShot(0, this, [this] { run(); });
        }
        return false;
    }

private:
    void run()
    {
        if (!call)
            return;
        window->removeEventFilter(this);
        const std::function<void()> once = std::move(call);
        call = nullptr;
        deleteLater();
        once();
    }

    QWidget* window;
    std::function<void()> call;
};
} // namespace

void runAfterFirstPaint(QWidget* window, std::function<void()> call)
{
    new AfterFirstPaint(window, std::move(call));
}
