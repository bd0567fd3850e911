// The news column of the window, fed from the portal's list interface.
#include "app/mainwindow.h"
#include "services/mywebview.h"
#include "services/news.h"
#include "ui_mainwindow.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QVBoxLayout>

namespace
{

const char* const rowStyle = "QLabel{background:transparent;font: 14pt ;color:#FFFFFF;}";
const int titleWidth = 400;

void emptyColumn(QVBoxLayout* column)
{
    const QList<QLayout*> rows = column->findChildren<QLayout*>();
    for (QLayout* row : rows) {
        while (QLayoutItem* item = row->takeAt(0)) {
            if (QWidget* widget = item->widget()) {
                widget->setParent(nullptr);
                widget->deleteLater();
            }
            delete item;
        }
    }
    // Emptied rows would pile up with every answer: remove them as well.
    for (int i = column->count() - 1; i >= 0; --i) {
        if (column->itemAt(i)->layout())
            delete column->takeAt(i);
    }
}

QHBoxLayout* newsRow(const NewsItem& item)
{
    const QString& title = item.title;
    const QString& updateTime = item.updateTime;
    const QString& url = item.url;

    auto* titleLabel = new QLabel();
    titleLabel->setOpenExternalLinks(true);
    titleLabel->setStyleSheet(QLatin1String(rowStyle));
    titleLabel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    titleLabel->setFixedWidth(titleWidth);
    // Measure in the font the style sheet gives the label, not the default one.
    titleLabel->ensurePolished();
    const QString shortTitle =
        titleLabel->fontMetrics().elidedText(title, Qt::ElideRight, titleWidth);
    // The portal's texts are data, not markup: quoted and escaped, they cannot
    // add attributes or tags. Only a web address becomes a target.
    const QString target = isBrowserAddress(QUrl(url)) ? url.toHtmlEscaped() : QString();
    titleLabel->setText(
        QStringLiteral(
            "<a href = \"%1\" style='text-decoration:none;color:#FFFFFF;font-size:14pt'>%2</a>")
            .arg(target, shortTitle.toHtmlEscaped()));

    auto* dateLabel = new QLabel(updateTime);
    dateLabel->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    dateLabel->adjustSize();
    dateLabel->setStyleSheet(QLatin1String(rowStyle));

    auto* row = new QHBoxLayout();
    row->addWidget(titleLabel);
    row->addWidget(dateLabel);
    return row;
}

} // namespace

void MainWindow::requestNews(const QString& url)
{
    if (!networkManager)
        networkManager = new QNetworkAccessManager(this);
    QString address = url;
    address.replace(QLatin1Char('\\'), QLatin1Char('/'));
    newsReply = networkManager->get(QNetworkRequest(QUrl(address, QUrl::TolerantMode)));
    connect(newsReply, &QNetworkReply::finished, this, &MainWindow::OnGetPageInfoFinished);
}

void MainWindow::OnGetPageInfoFinished()
{
    auto* finished = qobject_cast<QNetworkReply*>(sender());
    if (finished) {
        finished->deleteLater();
        // An older answer finishing late: reading the newest reply now would
        // consume part of it before its own finish and lose it.
        if (finished != newsReply)
            return;
    }
    QNetworkReply* reply = newsReply;
    newsReply = nullptr;
    if (!reply || reply->error() != QNetworkReply::NoError)
        return;

    QList<NewsItem> items;
    if (!decodeNewsAnswer(reply->readAll(), newsPage, items))
        return;

    emptyColumn(ui->verticalLayout);
    for (const NewsItem& item : qAsConst(items))
        ui->verticalLayout->addLayout(newsRow(item));
}
