// The helper that answers modal boxes in GUI tests.
#include "modalwatcher.h"

#include <QPushButton>
#include <QtTest>

class TestModalWatcher : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void queuedAnswersComeFirst();
};

void TestModalWatcher::answers_data()
{
    QTest::addColumn<int>("standardAnswer"); // 0: answer by text
    QTest::addColumn<QString>("textAnswer");
    QTest::addColumn<QString>("expectedClicked");

    QTest::newRow("default OK") << int(QMessageBox::Ok) << QString() << "ok";
    QTest::newRow("cancel") << int(QMessageBox::Cancel) << QString() << "cancel";
    QTest::newRow("by text") << 0 << QStringLiteral("否") << "no";
    QTest::newRow("unknown text falls back") << 0 << "nothing"
                                             << "ok";
}

void TestModalWatcher::answers()
{
    QFETCH(int, standardAnswer);
    QFETCH(QString, textAnswer);
    QFETCH(QString, expectedClicked);

    ModalWatcher watcher;
    if (standardAnswer != int(QMessageBox::Ok))
        standardAnswer ? watcher.answerWith(QMessageBox::StandardButton(standardAnswer))
                       : watcher.answerWithText(textAnswer);

    QMessageBox box(QMessageBox::Information, QStringLiteral("提示"),
                    QStringLiteral("检查更新失败-104"));
    box.setInformativeText("more");
    QPushButton* ok = box.addButton(QMessageBox::Ok);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    QPushButton* no = box.addButton(QStringLiteral("否"), QMessageBox::NoRole);
    box.exec();

    const QMap<QString, QAbstractButton*> buttons{{"ok", ok}, {"cancel", cancel}, {"no", no}};
    QCOMPARE(box.clickedButton(), buttons.value(expectedClicked));
    QCOMPARE(watcher.count(), 1);
    QCOMPARE(watcher.titles(), QStringList{QStringLiteral("提示")});
    QCOMPARE(watcher.texts(), QStringList{QStringLiteral("检查更新失败-104")});
    QCOMPARE(watcher.boxes().at(0).informativeText, QString("more"));
}

void TestModalWatcher::queuedAnswersComeFirst()
{
    ModalWatcher watcher;
    watcher.answerNextWith(QMessageBox::Cancel);
    const auto first =
        QMessageBox::question(nullptr, "a", "first", QMessageBox::Ok | QMessageBox::Cancel);
    const auto second =
        QMessageBox::question(nullptr, "b", "second", QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(first, QMessageBox::Cancel);
    QCOMPARE(second, QMessageBox::Ok);
    QCOMPARE(watcher.texts(), (QStringList{"first", "second"}));
}

QTEST_MAIN(TestModalWatcher)
#include "tst_modalwatcher.moc"
