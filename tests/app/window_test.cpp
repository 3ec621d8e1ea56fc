// The collector window: layout, initial state, keyboard, events, integer input mode.
#include <QCheckBox>
#include <QClipboard>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "app/caption_group_box.h"
#include "app/collector_window.h"
#include "app/controls.h"
#include "app/int_edit.h"
#include "app/result_view.h"
#include "app/spin_arrows.h"
#include "app/status_panes.h"
#include "app/ui_bridge.h"
#include "app/window_position.h"
#include "net/web_access.h"

using namespace shopwalk;

namespace {

QString Id(std::string_view identifier) {
  return QString::fromUtf8(identifier.data(), static_cast<qsizetype>(identifier.size()));
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void centredOnTheScreen() {
    QCOMPARE(CentredFramePosition(QSize(1024, 768)), QPoint(221, 110));
    QCOMPARE(CentredFramePosition(QSize(581, 547)), QPoint(0, 0));
    QCOMPARE(CentredFramePosition(QSize(1920, 1080)), QPoint(669, 266));
  }

  void fixedSizeWithoutMaximiseButton() {
    CollectorWindow window;
    QCOMPARE(window.size(), QSize(575, 519));
    QCOMPARE(window.minimumSize(), QSize(575, 519));
    QCOMPARE(window.maximumSize(), QSize(575, 519));
    const Qt::WindowFlags flags = window.windowFlags();
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowMinimizeButtonHint);
    QVERIFY(flags & Qt::WindowSystemMenuHint);
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(window.isWindow());
    QVERIFY(!window.windowTitle().isEmpty());
    QCOMPARE(window.windowIcon().actualSize(QSize(32, 32)), QSize(32, 32));
  }

  // While connections go elsewhere (SHOPWALK_CONNECT_TO) the title says where.
  void titleNamesTheConnectionRedirect() {
    QVERIFY(!WindowTitle().contains(QStringLiteral("SHOPWALK_CONNECT_TO")));
    QVERIFY(WindowTitle("127.0.0.1:8080").startsWith(WindowTitle()));
    QVERIFY(WindowTitle("127.0.0.1:8080").contains(QStringLiteral("127.0.0.1:8080")));
    SetConnectTo("127.0.0.1:8080");
    const CollectorWindow redirected;
    SetConnectTo("");
    const CollectorWindow direct;
    QCOMPARE(redirected.windowTitle(), WindowTitle("127.0.0.1:8080"));
    QVERIFY(redirected.windowTitle().contains(QStringLiteral("SHOPWALK_CONNECT_TO")));
    QCOMPARE(direct.windowTitle(), WindowTitle());
    // Through a proxy named for every request the redirect does not apply: the title names none.
    SetConnectTo("127.0.0.1:8080");
    ProxySetting proxied;
    proxied.source = ProxySetting::Source::Given;
    proxied.given = ParseProxyUrl("http://127.0.0.1:3128").value();
    SetProxy(proxied);
    const CollectorWindow throughProxy;
    SetProxy(ProxySetting{});
    SetConnectTo("");
    QCOMPARE(throughProxy.windowTitle(), WindowTitle());
  }

  void everyControlAtItsPlace_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");
    const QString window;
    const QString group = Id(ctl::SettingsGroup);
    QTest::newRow("group") << group << window << QRect(8, 8, 560, 94);
    QTest::newRow("list") << Id(ctl::ResultList) << window << QRect(8, 105, 560, 390);
    QTest::newRow("address") << Id(ctl::AddressLabel) << group << QRect(10, 26, 286, 20);
    QTest::newRow("shop id") << Id(ctl::ShopIdEdit) << group << QRect(133, 23, 80, 24);
    QTest::newRow("count label") << Id(ctl::ThreadCountLabel) << group << QRect(5, 58, 56, 25);
    QTest::newRow("count") << Id(ctl::ThreadCountEdit) << group << QRect(68, 58, 40, 25);
    QTest::newRow("start") << Id(ctl::StartButton) << group << QRect(142, 57, 74, 28);
    QTest::newRow("stop") << Id(ctl::StopButton) << group << QRect(228, 57, 74, 28);
    QTest::newRow("export") << Id(ctl::ExportButton) << group << QRect(313, 57, 74, 28);
    QTest::newRow("logo") << Id(ctl::LogoPicture) << group << QRect(382, 10, 174, 44);
    QTest::newRow("check") << Id(ctl::MessengerOnlyCheck) << group << QRect(408, 64, 120, 16);
  }

  void everyControlAtItsPlace() {
    QFETCH(QString, id);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    CollectorWindow window;
    auto* control = window.findChild<QWidget*>(id);
    QVERIFY2(control, qPrintable(id));
    QCOMPARE(control->geometry(), geometry);
    QWidget* expectedParent = parent.isEmpty() ? &window : window.findChild<QWidget*>(parent);
    QCOMPARE(control->parentWidget(), expectedParent);
    QCOMPARE(window.Control(id.toStdString()), control);
  }

  void statusBarAndArrowsDockedInPlace() {
    CollectorWindow window;
    auto* status = window.findChild<StatusPanes*>(Id(ctl::StatusBar));
    QVERIFY(status);
    QCOMPARE(status->x(), 0);
    QCOMPARE(status->width(), 575);
    QCOMPARE(status->geometry().bottom(), 518);
    QVERIFY(status->y() >= 495);  // below the list
    auto* arrows = window.findChild<SpinArrows*>();
    QVERIFY(arrows);
    QCOMPARE(arrows->geometry(), QRect(108, 58, 18, 25));
    QCOMPARE(window.Control(ctl::FileDialog), nullptr);
  }

  void initialTextsAndStates() {
    CollectorWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* group = window.findChild<CaptionGroupBox*>(Id(ctl::SettingsGroup));
    QCOMPARE(group->title(), QStringLiteral("配置参数 ----- 起始店铺数字越大,开店时间越晚!"));
    QCOMPARE(group->CaptionColor(), QColor(255, 0, 0));
    QVERIFY(group->CaptionFont().bold());
    QCOMPARE(group->CaptionFont().pixelSize(), 12);
    QCOMPARE(window.findChild<QLabel*>(Id(ctl::AddressLabel))->text(),
             QStringLiteral("起始店铺:http://shop              .velmo.com"));
    QCOMPARE(window.findChild<QLabel*>(Id(ctl::ThreadCountLabel))->text(),
             QStringLiteral("线程数:"));
    QCOMPARE(window.findChild<QLineEdit*>(Id(ctl::ShopIdEdit))->text(), QString());
    QCOMPARE(window.findChild<QLineEdit*>(Id(ctl::ThreadCountEdit))->text(), QStringLiteral("10"));
    QCOMPARE(window.findChild<QPushButton*>(Id(ctl::StartButton))->text(), QStringLiteral("开始"));
    QCOMPARE(window.findChild<QPushButton*>(Id(ctl::StopButton))->text(), QStringLiteral("停止"));
    QCOMPARE(window.findChild<QPushButton*>(Id(ctl::ExportButton))->text(), QStringLiteral("导出"));
    auto* check = window.findChild<QCheckBox*>(Id(ctl::MessengerOnlyCheck));
    QCOMPARE(check->text(), QStringLiteral("只导出Quibo帐号"));
    QVERIFY(check->isChecked());
    for (QPushButton* button : group->findChildren<QPushButton*>()) {
      QVERIFY(!button->isDefault());
      QVERIFY(!button->autoDefault());
    }
    for (std::string_view id :
         {ctl::SettingsGroup, ctl::AddressLabel, ctl::ShopIdEdit, ctl::ThreadCountLabel,
          ctl::ThreadCountEdit, ctl::StartButton, ctl::StopButton, ctl::ExportButton,
          ctl::LogoPicture, ctl::MessengerOnlyCheck, ctl::ResultList, ctl::StatusBar}) {
      QWidget* control = window.Control(id);
      QVERIFY2(control->isVisible() && control->isEnabled(), id.data());
    }
    auto* list = window.findChild<ResultView*>(Id(ctl::ResultList));
    QCOMPARE(list->model()->rowCount(), 0);
    QVERIFY(!list->selectionModel()->hasSelection());
  }

  void addressFieldLiesOverTheSpaces() {
    CollectorWindow window;
    auto* label = window.findChild<QLabel*>(Id(ctl::AddressLabel));
    auto* field = window.findChild<QLineEdit*>(Id(ctl::ShopIdEdit));
    QCOMPARE(QFontInfo(label->font()).family(), QStringLiteral("WenQuanYi Zen Hei Mono"));
    const QFontMetrics metrics(label->font());
    const int prefixEnd =
        label->x() + metrics.horizontalAdvance(QStringLiteral("起始店铺:http://shop"));
    const int spacesEnd = prefixEnd + metrics.horizontalAdvance(QString(14, u' '));
    QCOMPARE(prefixEnd, 130);
    QCOMPARE(spacesEnd, 214);
    QVERIFY(field->x() >= prefixEnd && field->x() + field->width() <= spacesEnd);
    // The field is drawn above the label.
    QCOMPARE(label->parentWidget()->childAt(field->geometry().center()), field);
  }

  void tabVisitsTheInputControlsInOrder() {
    CollectorWindow window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.ShopIdField()->setFocus(Qt::TabFocusReason);
    QStringList visited;
    for (int i = 0; i < 8; ++i) {
      visited << QApplication::focusWidget()->objectName();
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(visited,
             QStringList({Id(ctl::ShopIdEdit), Id(ctl::ThreadCountEdit), Id(ctl::StartButton),
                          Id(ctl::StopButton), Id(ctl::ExportButton), Id(ctl::MessengerOnlyCheck),
                          Id(ctl::ResultList), Id(ctl::ShopIdEdit)}));
    for (std::string_view id : {ctl::SettingsGroup, ctl::AddressLabel, ctl::ThreadCountLabel,
                                ctl::LogoPicture, ctl::StatusBar}) {
      QVERIFY2(!(window.Control(id)->focusPolicy() & Qt::TabFocus), id.data());
    }
    QVERIFY(!(window.ThreadCountArrows()->UpArrow()->focusPolicy() & Qt::TabFocus));
  }

  void enterKeepsFocusAndEscapeDoesNotClose() {
    int destroyed = 0;
    WindowHandlers handlers;
    handlers.onDestroyed = [&] { ++destroyed; };
    CollectorWindow window(handlers);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.ThreadCountField()->setFocus();
    QTest::keyClick(window.ThreadCountField(), Qt::Key_Return);
    QTest::keyClick(window.ThreadCountField(), Qt::Key_Enter);
    QCOMPARE(QApplication::focusWidget(), window.ThreadCountField());
    QTest::keyClick(window.ThreadCountField(), Qt::Key_Escape);
    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(window.isVisible());
    QCOMPARE(destroyed, 0);
  }

  void buttonsRaiseTheirHandlers() {
    QStringList raised;
    WindowHandlers handlers;
    handlers.onCreated = [&] { raised << "created"; };
    handlers.onStart = [&] { raised << "start"; };
    handlers.onStop = [&] { raised << "stop"; };
    handlers.onExport = [&] { raised << "export"; };
    CollectorWindow window(handlers);
    QVERIFY(raised.isEmpty());
    window.RaiseCreated();
    window.show();
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    QTest::mouseClick(window.StopButton(), Qt::LeftButton);
    QTest::mouseClick(window.ExportButton(), Qt::LeftButton);
    QCOMPARE(raised, QStringList({"created", "start", "stop", "export"}));
    // A disabled button raises nothing.
    window.StartButton()->setEnabled(false);
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    QCOMPARE(raised.size(), 4);
  }

  void arrowsRaiseSpinWithoutChangingTheText() {
    QList<int> spins;
    WindowHandlers handlers;
    handlers.onSpin = [&](int delta) { spins << delta; };
    CollectorWindow window(handlers);
    window.show();
    QTest::mouseClick(window.ThreadCountArrows()->UpArrow(), Qt::LeftButton);
    QCOMPARE(spins, QList<int>({+1}));
    QCOMPARE(window.ThreadCountField()->text(), QStringLiteral("10"));
    QTest::mouseClick(window.ThreadCountArrows()->DownArrow(), Qt::LeftButton);
    QTest::mouseClick(window.ThreadCountArrows()->DownArrow(), Qt::LeftButton);
    QCOMPARE(spins, QList<int>({+1, -1, -1}));
    QCOMPARE(window.ThreadCountField()->text(), QStringLiteral("10"));
    // The arrows sit against the field's right edge and are as high as it.
    QCOMPARE(window.ThreadCountArrows()->x(),
             window.ThreadCountField()->x() + window.ThreadCountField()->width());
    QCOMPARE(window.ThreadCountArrows()->height(), window.ThreadCountField()->height());
  }

  void closingRunsDestroyedOnceThenClosesTheBridge() {
    UiBridge bridge;
    int destroyed = 0;
    bool bridgeOpenDuringHandler = false;
    WindowHandlers handlers;
    handlers.onDestroyed = [&] {
      ++destroyed;
      bridgeOpenDuringHandler = !bridge.IsClosed();
    };
    CollectorWindow window(handlers);
    window.SetBridge(&bridge);
    window.show();
    QVERIFY(window.close());
    QCOMPARE(destroyed, 1);
    QVERIFY(bridgeOpenDuringHandler);
    QVERIFY(bridge.IsClosed());
    QVERIFY(!window.isVisible());
    window.show();
    QVERIFY(window.close());
    QCOMPARE(destroyed, 1);
  }

  void typingAcceptsOnlyDigitsAndMinus() {
    CollectorWindow window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    for (IntEdit* field : {window.ShopIdField(), window.ThreadCountField()}) {
      field->setFocus();
      field->clear();
      QTest::keyClicks(field, "1a.2 x-3");
      QCOMPARE(field->text(), QStringLiteral("12-3"));
      QTest::keyClick(field, Qt::Key_Backspace);
      QCOMPARE(field->text(), QStringLiteral("12-"));
      // Text typed through an input method is filtered the same way.
      QInputMethodEvent composed;
      composed.setCommitString(QStringLiteral("4中5"));
      QApplication::sendEvent(field, &composed);
      QCOMPARE(field->text(), QStringLiteral("12-45"));
    }
  }

  void pasteIsNotFiltered() {
    CollectorWindow window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QGuiApplication::clipboard()->setText(QStringLiteral("12abc"));
    if (QGuiApplication::clipboard()->text() != QStringLiteral("12abc")) {
      QSKIP("no clipboard on this platform");
    }
    IntEdit* field = window.ThreadCountField();
    field->setFocus();
    field->clear();
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(field->text(), QStringLiteral("12abc"));
    // Leaving the field normalises it.
    window.StartButton()->setFocus();
    QCOMPARE(field->text(), QStringLiteral("12"));
  }

  void normalisedForm_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("normal");
    QTest::newRow("leading zeros") << "007"
                                   << "7";
    QTest::newRow("too large") << "99999999999"
                               << "2147483647";
    QTest::newRow("beyond 64 bits") << "99999999999999999999999999"
                                    << "2147483647";
    QTest::newRow("too small") << "-99999999999"
                               << "-2147483648";
    QTest::newRow("beyond -64 bits") << "-99999999999999999999999999"
                                     << "-2147483648";
    QTest::newRow("smallest") << "-2147483648"
                              << "-2147483648";
    QTest::newRow("zero") << "0"
                          << "";
    QTest::newRow("minus zero") << "-0"
                                << "";
    QTest::newRow("minus alone") << "-"
                                 << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("letters") << "abc"
                             << "";
    QTest::newRow("blanks, sign, tail") << " \t+42abc7"
                                        << "42";
    QTest::newRow("negative with tail") << "-12-3"
                                        << "-12";
    QTest::newRow("blank inside") << "1 2"
                                  << "1";
    QTest::newRow("double sign") << "--5"
                                 << "";
    QTest::newRow("full-width digits") << "１２"
                                       << "";
  }

  void normalisedForm() {
    QFETCH(QString, text);
    QFETCH(QString, normal);
    QCOMPARE(NormalisedIntegerText(text), normal);
  }

  void losingFocusNormalisesAndRestoresTheCaret() {
    CollectorWindow window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    IntEdit* field = window.ThreadCountField();

    field->setText(QStringLiteral("007"));
    field->setFocus();
    window.StartButton()->setFocus();
    QCOMPARE(field->text(), QStringLiteral("7"));

    field->setText(QStringLiteral(" 0012"));
    field->setFocus();
    field->setSelection(2, 2);
    window.StartButton()->setFocus();
    QCOMPARE(field->text(), QStringLiteral("12"));
    QCOMPARE(field->cursorPosition(), 2);

    field->setText(QStringLiteral("99999999999"));
    field->setFocus();
    field->setCursorPosition(11);
    window.StartButton()->setFocus();
    QCOMPARE(field->text(), QStringLiteral("2147483647"));
    QCOMPARE(field->cursorPosition(), 10);

    // Text already in normal form is left alone (the typing stays undoable).
    field->clear();
    field->setFocus();
    QTest::keyClicks(field, "25");
    window.StartButton()->setFocus();
    QCOMPARE(field->text(), QStringLiteral("25"));
    QVERIFY(field->isUndoAvailable());
  }

  void programWritesAreNotNormalised() {
    CollectorWindow window;
    window.ShopIdField()->setText(QStringLiteral("007"));
    QCOMPARE(window.ShopIdField()->text(), QStringLiteral("007"));
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
