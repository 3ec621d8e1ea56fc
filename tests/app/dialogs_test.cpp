// Message boxes and the save dialog: flags, answers, the dialog host behind the window's
// operations, and the real boxes answered by a timer.
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/collector_window.h"
#include "app/dialogs.h"
#include "app/message_box_layout.h"
#include "app/ui_bridge.h"
#include "app/widget_ui.h"
#include "app/window_ui.h"
#include "collect/gbk.h"

using namespace shopwalk;

namespace {

// Records what the window asks and answers from a script.
class FakeDialogs : public DialogHost {
 public:
  struct Message {
    QString text;
    int flags;
    QString caption;
  };
  std::vector<Message> messages;
  std::vector<SaveDialogRequest> saves;
  int answer = mb::PressedOk;
  std::optional<SaveDialogAnswer> chosen;

  int ShowMessage(const QString& text, int flags, const QString& caption) override {
    messages.push_back({text, flags, caption});
    return answer;
  }
  std::optional<SaveDialogAnswer> AskSaveFileName(const SaveDialogRequest& request) override {
    saves.push_back(request);
    return chosen;
  }
};

// Runs `answer` on the modal widget of type T once it is shown, and again on every tick until it
// returns true (it answered).
template <class T>
void AnswerWhenShown(std::function<bool(T*)> answer) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, timer, [timer, answer] {
    if (auto* shown = qobject_cast<T*>(QApplication::activeModalWidget())) {
      if (!answer(shown)) return;
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(10);
}

// Types `path` as the file name, as the user would; true once the dialog has taken it.
bool Choose(QFileDialog* dialog, const QString& path) {
  auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  if (!name) return false;
  name->setText(path);
  return dialog->selectedFiles() == QStringList({path});
}

QStringList ButtonTexts(QMessageBox* box) {
  QStringList texts;
  auto* buttonBox = box->findChild<QDialogButtonBox*>();
  QList<QAbstractButton*> buttons = buttonBox->buttons();
  std::sort(buttons.begin(), buttons.end(),
            [](QAbstractButton* a, QAbstractButton* b) { return a->x() < b->x(); });
  for (QAbstractButton* button : buttons) texts << button->text();
  return texts;
}

QAbstractButton* ButtonNamed(QMessageBox* box, const QString& text) {
  for (QAbstractButton* button : box->buttons()) {
    if (button->text() == text) return button;
  }
  return nullptr;
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void flagsLayTheBoxOut_data() {
    QTest::addColumn<int>("flags");
    QTest::addColumn<QList<int>>("buttons");
    QTest::addColumn<int>("defaultButton");
    QTest::addColumn<int>("escape");
    QTest::addColumn<int>("icon");
    using namespace mb;
    QTest::newRow("ok") << 0 << QList<int>{PressedOk} << PressedOk << PressedOk << 0;
    QTest::newRow("ok cancel") << 1 << QList<int>{PressedOk, PressedCancel} << PressedOk
                               << PressedCancel << 0;
    QTest::newRow("abort retry ignore, third default")
        << (2 | 0x200) << QList<int>{PressedAbort, PressedRetry, PressedIgnore} << PressedIgnore
        << PressedAbort << 0;
    QTest::newRow("yes no cancel, second default, question")
        << (3 | 0x100 | 0x20) << QList<int>{PressedYes, PressedNo, PressedCancel} << PressedNo
        << PressedCancel << int(MessageIcon::Question);
    QTest::newRow("yes no") << 4 << QList<int>{PressedYes, PressedNo} << PressedYes << PressedNo
                            << 0;
    QTest::newRow("retry cancel, error")
        << (5 | 0x10) << QList<int>{PressedRetry, PressedCancel} << PressedRetry << PressedCancel
        << int(MessageIcon::Error);
    QTest::newRow("ok, warning, default past the end")
        << (0x30 | 0x300) << QList<int>{PressedOk} << PressedOk << PressedOk
        << int(MessageIcon::Warning);
    QTest::newRow("information, task modal")
        << (0x40 | 0x2000) << QList<int>{PressedOk} << PressedOk << PressedOk
        << int(MessageIcon::Information);
    QTest::newRow("unknown buttons and icon")
        << (0xE | 0x70) << QList<int>{PressedOk} << PressedOk << PressedOk << 0;
  }

  void flagsLayTheBoxOut() {
    QFETCH(int, flags);
    QFETCH(QList<int>, buttons);
    QFETCH(int, defaultButton);
    QFETCH(int, escape);
    QFETCH(int, icon);
    const MessageBoxLayout layout = LayoutMessageBox(flags);
    QCOMPARE(QList<int>(layout.buttons.begin(), layout.buttons.end()), buttons);
    QCOMPARE(layout.defaultButton, defaultButton);
    QCOMPARE(layout.escapeButton, escape);
    QCOMPARE(int(layout.icon), icon);
  }

  void pairsBecomeNameFilters() {
    QCOMPARE(NameFiltersFromPairs(QStringLiteral("文本文件(*.txt)|*.txt")),
             QStringList({"文本文件(*.txt)"}));
    QCOMPARE(NameFiltersFromPairs(QStringLiteral("文本文件(*.txt)|*.txt||")),
             QStringList({"文本文件(*.txt)"}));
    QCOMPARE(NameFiltersFromPairs(QStringLiteral("All|*.*|Logs (plain)|*.log;*.txt")),
             QStringList({"All (*.*)", "Logs (plain) (*.log *.txt)"}));
    QCOMPARE(NameFiltersFromPairs(QStringLiteral("Logs(*.log;*.txt)|*.log;*.txt")),
             QStringList({"Logs(*.log *.txt)"}));
    QCOMPARE(NameFiltersFromPairs(QString()), QStringList());
    QCOMPARE(NameFiltersFromPairs(QStringLiteral("dangling")), QStringList());
  }

  void messagesGoThroughTheHost() {
    CollectorWindow window;
    FakeDialogs dialogs;
    WidgetUi ui(window, dialogs);
    dialogs.answer = mb::PressedOk;
    QCOMPARE(ui.ShowMessage("导出完成!", 0), mb::PressedOk);
    dialogs.answer = mb::PressedNo;
    QCOMPARE(ui.ShowMessage("是否保存当前进度？", mb::YesNo, "提示"), mb::PressedNo);
    QCOMPARE(dialogs.messages.size(), 2u);
    QCOMPARE(dialogs.messages[0].text, QStringLiteral("导出完成!"));
    QCOMPARE(dialogs.messages[0].caption, QStringLiteral("信息："));
    QCOMPARE(dialogs.messages[0].flags, 0);
    QCOMPARE(dialogs.messages[1].text, QStringLiteral("是否保存当前进度？"));
    QCOMPARE(dialogs.messages[1].caption, QStringLiteral("提示"));
    QCOMPARE(dialogs.messages[1].flags, 4);
    // An explicitly empty caption stays empty.
    ui.ShowMessage("x", 0, std::string_view());
    QCOMPARE(dialogs.messages[2].caption, QString());
  }

  void fileDialogKeepsTheChosenName() {
    CollectorWindow window;
    FakeDialogs dialogs;
    WidgetUi ui(window, dialogs);
    ui.SetInitialDirectory("/tmp/导出");
    dialogs.chosen = SaveDialogAnswer{QStringLiteral("/tmp/导出/店铺.txt"), 0};
    QVERIFY(ui.ShowFileDialog());
    QCOMPARE(ui.FileName(), "/tmp/导出/店铺.txt");
    QCOMPARE(ui.ChosenFileEnding(), ".txt");
    // Text first (selected at opening), then the other forms the name may choose.
    QCOMPARE(
        dialogs.saves[0].filter,
        QStringLiteral("文本文件(*.txt)|*.txt|CSV 文件(*.csv)|*.csv|Excel 工作簿(*.xlsx)|*.xlsx|"
                       "JSON Lines(*.jsonl)|*.jsonl"));
    QCOMPARE(dialogs.saves[0].initialDirectory, QStringLiteral("/tmp/导出"));
    QCOMPARE(dialogs.saves[0].proposedName, QString());
    // The second dialog proposes the first one's choice; cancelling changes nothing.
    dialogs.chosen.reset();
    QVERIFY(!ui.ShowFileDialog());
    QCOMPARE(dialogs.saves[1].proposedName, QStringLiteral("/tmp/导出/店铺.txt"));
    QCOMPARE(ui.FileName(), "/tmp/导出/店铺.txt");
    // The file type selected gives its ending: the workbooks' is the third.
    dialogs.chosen = SaveDialogAnswer{QStringLiteral("/tmp/导出/店铺"), 2};
    QVERIFY(ui.ShowFileDialog());
    QCOMPARE(ui.FileName(), "/tmp/导出/店铺");
    QCOMPARE(ui.ChosenFileEnding(), ".xlsx");
    dialogs.chosen = SaveDialogAnswer{QStringLiteral("/tmp/导出/店铺"), -1};
    QVERIFY(ui.ShowFileDialog());
    QCOMPARE(ui.ChosenFileEnding(), "");
  }

  void pairsGiveTheirEndings() {
    const QString pairs =
        QStringLiteral("文本文件(*.txt)|*.txt|表格|*.csv;*.tsv|所有文件|*|坏|x.y");
    QCOMPARE(EndingOfPair(pairs, 0), QStringLiteral(".txt"));
    QCOMPARE(EndingOfPair(pairs, 1), QStringLiteral(".csv"));
    QCOMPARE(EndingOfPair(pairs, 2), QString());
    QCOMPARE(EndingOfPair(pairs, 3), QString());
    QCOMPARE(EndingOfPair(pairs, 4), QString());
    QCOMPARE(EndingOfPair(pairs, -1), QString());
  }

  void realBoxAnswersWithThePressedButton() {
    QtDialogHost host;
    QString caption;
    QStringList buttons;
    Qt::WindowModality modality = Qt::NonModal;
    QWidget* owner = reinterpret_cast<QWidget*>(1);
    AnswerWhenShown<QMessageBox>([&](QMessageBox* box) {
      caption = box->windowTitle();
      buttons = ButtonTexts(box);
      modality = box->windowModality();
      owner = box->parentWidget();
      ButtonNamed(box, QStringLiteral("否"))->click();
      return true;
    });
    QCOMPARE(host.ShowMessage(QStringLiteral("是否保存当前进度？"), 4, QStringLiteral("信息：")),
             mb::PressedNo);
    QCOMPARE(caption, QStringLiteral("信息："));
    QCOMPARE(buttons, QStringList({"是", "否"}));
    QCOMPARE(modality, Qt::ApplicationModal);
    QCOMPARE(owner, nullptr);

    AnswerWhenShown<QMessageBox>([&](QMessageBox* box) {
      ButtonNamed(box, QStringLiteral("是"))->click();
      return true;
    });
    QCOMPARE(host.ShowMessage(QStringLiteral("?"), 4, QString()), mb::PressedYes);

    AnswerWhenShown<QMessageBox>([&](QMessageBox* box) {
      buttons = ButtonTexts(box);
      ButtonNamed(box, QStringLiteral("确定"))->click();
      return true;
    });
    QCOMPARE(host.ShowMessage(QStringLiteral("导出完成!"), 0, QStringLiteral("信息：")),
             mb::PressedOk);
    QCOMPARE(buttons, QStringList({"确定"}));

    AnswerWhenShown<QMessageBox>([&](QMessageBox* box) {
      buttons = ButtonTexts(box);
      ButtonNamed(box, QStringLiteral("重试"))->click();
      return true;
    });
    QCOMPARE(host.ShowMessage(QStringLiteral("?"), 2, QString()), mb::PressedRetry);
    QCOMPARE(buttons, QStringList({"中止", "重试", "忽略"}));
  }

  void realBoxClosedWithoutAButton_data() {
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("answer");
    QTest::newRow("ok") << 0 << mb::PressedOk;
    QTest::newRow("ok cancel") << 1 << mb::PressedCancel;
    QTest::newRow("yes no") << 4 << mb::PressedNo;
    QTest::newRow("yes no cancel") << 3 << mb::PressedCancel;
  }

  void realBoxClosedWithoutAButton() {
    QFETCH(int, flags);
    QFETCH(int, answer);
    QtDialogHost host;
    AnswerWhenShown<QMessageBox>([](QMessageBox* box) {
      QTest::keyClick(box, Qt::Key_Escape);
      return true;
    });
    QCOMPARE(host.ShowMessage(QStringLiteral("?"), flags, QString()), answer);
    AnswerWhenShown<QMessageBox>([](QMessageBox* box) { return box->close(); });
    QCOMPARE(host.ShowMessage(QStringLiteral("?"), flags, QString()), answer);
  }

  void realBoxEnterPressesTheDefaultButton() {
    QtDialogHost host;
    AnswerWhenShown<QMessageBox>([](QMessageBox* box) {
      QTest::keyClick(box, Qt::Key_Return);
      return true;
    });
    QCOMPARE(host.ShowMessage(QStringLiteral("?"), 4 | 0x100, QString()), mb::PressedNo);
  }

  void realSaveDialog() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QtDialogHost host;
    SaveDialogRequest request{QStringLiteral("文本文件(*.txt)|*.txt"), folder.path(), QString()};
    bool native = true;
    QStringList filters;
    QString selectedFilter, suffix;
    QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
    bool confirms = false;
    QString startedIn;
    AnswerWhenShown<QFileDialog>([&](QFileDialog* dialog) {
      native = !dialog->testOption(QFileDialog::DontUseNativeDialog);
      filters = dialog->nameFilters();
      selectedFilter = dialog->selectedNameFilter();
      suffix = dialog->defaultSuffix();
      mode = dialog->acceptMode();
      confirms = !dialog->testOption(QFileDialog::DontConfirmOverwrite);
      startedIn = dialog->directory().absolutePath();
      if (!Choose(dialog, folder.filePath(QStringLiteral("店铺.txt")))) return false;
      static_cast<QDialog*>(dialog)->accept();  // the dialog's own accept checks
      return true;
    });
    QCOMPARE(host.AskSaveFileName(request),
             (SaveDialogAnswer{folder.filePath(QStringLiteral("店铺.txt")), 0}));
    QVERIFY(!native);
    QCOMPARE(filters, QStringList({"文本文件(*.txt)"}));
    QCOMPARE(selectedFilter, QStringLiteral("文本文件(*.txt)"));
    QCOMPARE(suffix, QString());
    QCOMPARE(mode, QFileDialog::AcceptSave);
    QVERIFY(confirms);
    QCOMPARE(startedIn, QDir(folder.path()).absolutePath());

    // The proposed name is offered; cancelling gives nothing.
    request.proposedName = folder.filePath(QStringLiteral("a.txt"));
    QStringList offered;
    AnswerWhenShown<QFileDialog>([&](QFileDialog* dialog) {
      offered = dialog->selectedFiles();
      dialog->reject();
      return true;
    });
    QCOMPARE(host.AskSaveFileName(request), std::nullopt);
    QCOMPARE(offered, QStringList({folder.filePath(QStringLiteral("a.txt"))}));

    // The file type selected when the name is confirmed is part of the answer.
    request.filter = QStringLiteral("文本文件(*.txt)|*.txt|Excel 工作簿(*.xlsx)|*.xlsx");
    request.proposedName.clear();
    AnswerWhenShown<QFileDialog>([&](QFileDialog* dialog) {
      dialog->selectNameFilter(dialog->nameFilters().value(1));
      if (!Choose(dialog, folder.filePath(QStringLiteral("店铺")))) return false;
      static_cast<QDialog*>(dialog)->accept();
      return true;
    });
    QCOMPARE(host.AskSaveFileName(request),
             (SaveDialogAnswer{folder.filePath(QStringLiteral("店铺")), 1}));
  }

  void saveDialogRequiresAnExistingFolder() {
    QTemporaryDir folder;
    QtDialogHost host;
    // One timer walks through the steps, each acting on the box that is open at the time.
    enum { ChooseMissing, ConfirmWarning, StillOpen, Done } step = ChooseMissing;
    QString warning;
    QTimer steps;
    connect(&steps, &QTimer::timeout, &steps, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (step == ChooseMissing && dialog) {
        if (!Choose(dialog, folder.filePath(QStringLiteral("missing/out.txt")))) return;
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        step = ConfirmWarning;
      } else if (step == ConfirmWarning && box) {
        warning = box->text();
        QMetaObject::invokeMethod(box, "accept", Qt::QueuedConnection);
        step = StillOpen;
      } else if (step == StillOpen && dialog && dialog->isVisible()) {
        QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
        step = Done;
        steps.stop();
      }
    });
    steps.start(10);
    QCOMPARE(host.AskSaveFileName({QStringLiteral("文本文件(*.txt)|*.txt"), folder.path(), {}}),
             std::nullopt);
    QCOMPARE(step, Done);
    QVERIFY(warning.contains(folder.filePath(QStringLiteral("missing"))));
  }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
