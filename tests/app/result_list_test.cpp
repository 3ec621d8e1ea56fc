// The result list (model and view) and the status bar.
#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "app/collector_window.h"
#include "app/result_model.h"
#include "app/result_view.h"
#include "app/status_panes.h"
#include "collect/gbk.h"

using namespace shopwalk;

namespace {

std::string Gbk(const char* utf8) {
  return Utf8ToGbk(utf8);
}

QString Shown(const ResultModel& model, int row, int column) {
  return model.data(model.index(row, column)).toString();
}

}  // namespace

class ResultListTest : public QObject {
  Q_OBJECT

 private slots:
  void modelPassesTheModelTester() {
    ResultModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    for (int i = 0; i < 20; ++i) {
      const int row = model.InsertRow(i % 3 == 0 ? 0 : -1, Gbk("行"));
      for (int column = 0; column < ResultModel::ColumnCount; ++column) {
        QVERIFY(model.SetCellText(row, column, std::to_string(i * 10 + column)));
      }
    }
    QCOMPARE(model.rowCount(), 20);
    QCOMPARE(model.columnCount(), 6);
    QCOMPARE(model.rowCount(model.index(0, 0)), 0);
    QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsEditable));
    QVERIFY(!model.setData(model.index(0, 0), QStringLiteral("x")));
  }

  void insertRowPlacesAndNumbersRows() {
    ResultModel model;
    QCOMPARE(model.InsertRow(), 0);
    QCOMPARE(model.RowCount(), 1);
    QCOMPARE(model.InsertRow(), 1);
    QCOMPARE(model.InsertRow(-7, "c"), 2);
    QCOMPARE(model.InsertRow(100, "d"), 3);  // past the end appends
    QCOMPARE(model.InsertRow(3, "e"), 3);    // before the last row
    QCOMPARE(model.InsertRow(0, "f"), 0);
    QCOMPARE(model.RowCount(), 6);
    const std::vector<std::string> firstCells = {"f", "", "", "c", "e", "d"};
    for (int row = 0; row < 6; ++row) {
      QCOMPARE(model.GetCellText(row, 0), firstCells[row]);
      for (int column = 1; column < 6; ++column) QCOMPARE(model.GetCellText(row, column), "");
    }
  }

  void cellsOutsideTheListAreRefused() {
    ResultModel model;
    QVERIFY(!model.SetCellText(0, 0, "x"));
    QCOMPARE(model.InsertRow(), 0);
    QVERIFY(model.SetCellText(0, 3, Gbk("旺旺名")));
    QCOMPARE(model.GetCellText(0, 3), Gbk("旺旺名"));
    QCOMPARE(Shown(model, 0, 3), QStringLiteral("旺旺名"));
    QVERIFY(!model.SetCellText(0, 6, "x"));
    QVERIFY(!model.SetCellText(0, -1, "x"));
    QVERIFY(!model.SetCellText(1, 0, "x"));
    QVERIFY(!model.SetCellText(-1, 0, "x"));
    for (int column = 0; column < 6; ++column) {
      if (column != 3) QCOMPARE(model.GetCellText(0, column), "");
    }
    QCOMPARE(model.GetCellText(0, 6), "");
    QCOMPARE(model.GetCellText(1, 0), "");
    QCOMPARE(model.GetCellText(-1, -1), "");
  }

  void cellsKeepTheirBytes() {
    ResultModel model;
    model.InsertRow();
    const std::string long600(600, 'x');
    const std::string invalid = "ab\x81\x20\xff" + Gbk("店") + "\x81";
    const std::string withNul("a\0b", 3);
    QVERIFY(model.SetCellText(0, 0, long600));
    QVERIFY(model.SetCellText(0, 1, invalid));
    QVERIFY(model.SetCellText(0, 2, withNul));
    QVERIFY(model.SetCellText(0, 5, Gbk("http://shop1.velmo.com")));
    QCOMPARE(model.GetCellText(0, 0), long600);
    QCOMPARE(model.GetCellText(0, 1), invalid);
    QCOMPARE(model.GetCellText(0, 2), withNul);
    // Rewriting a cell changes only that cell, also when it shrinks to nothing.
    QVERIFY(model.SetCellText(0, 1, ""));
    QCOMPARE(model.GetCellText(0, 1), "");
    QCOMPARE(model.GetCellText(0, 0), long600);
    QCOMPARE(model.GetCellText(0, 5), "http://shop1.velmo.com");
    const std::string big(70000, 'y');
    QVERIFY(model.SetCellText(0, 4, big));
    QCOMPARE(model.GetCellText(0, 4), big);
    QCOMPARE(model.GetCellText(0, 0), long600);
  }

  void cellsAreShownDecoded() {
    ResultModel model;
    model.InsertRow(-1, Gbk("中文店铺"));
    QCOMPARE(Shown(model, 0, 0), QStringLiteral("中文店铺"));
    model.SetCellText(0, 1,
                      "ab\x81\x20"
                      "c");
    QCOMPARE(Shown(model, 0, 1), QStringLiteral("ab\uFFFD c"));
    model.SetCellText(0, 2, "\xff\xff");
    QCOMPARE(Shown(model, 0, 2), QStringLiteral("\uFFFD\uFFFD"));
    model.SetCellText(0, 3, "end\x81");  // a lead byte without its trail byte
    QCOMPARE(Shown(model, 0, 3), QStringLiteral("end\uFFFD"));
    QCOMPARE(Shown(model, 0, 4), QString());
  }

  void changesAreSignalled() {
    ResultModel model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.InsertRow();
    model.InsertRow(0);
    QCOMPARE(inserted.size(), 2);
    QCOMPARE(inserted[1][1].toInt(), 0);
    model.SetCellText(1, 4, "2020-01-01");
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed[0][0].value<QModelIndex>(), model.index(1, 4));
    model.SetCellText(1, 9, "x");
    QCOMPARE(changed.size(), 1);
  }

  void captionsWidthsAndAlignments() {
    const QStringList captions = {"序号",    "店铺名称", "卖家信誉",
                                  "Quibo名", "创店时间", "店铺地址"};
    const QList<int> widths = {40, 120, 70, 100, 75, 160};
    const QList<Qt::Alignment> alignments = {Qt::AlignLeft,    Qt::AlignHCenter, Qt::AlignHCenter,
                                             Qt::AlignHCenter, Qt::AlignLeft,    Qt::AlignLeft};
    CollectorWindow window;
    ResultModel& model = window.Results();
    ResultView* view = window.ResultList();
    model.InsertRow();
    for (int column = 0; column < 6; ++column) {
      QCOMPARE(model.headerData(column, Qt::Horizontal).toString(), captions[column]);
      QCOMPARE(ResultModel::ColumnCaption(column), Utf8ToGbk(captions[column].toStdString()));
      QCOMPARE(view->columnWidth(column), widths[column]);
      const auto alignment =
          Qt::Alignment(model.data(model.index(0, column), Qt::TextAlignmentRole).toInt());
      QCOMPARE(alignment & Qt::AlignHorizontal_Mask, alignments[column]);
    }
    QCOMPARE(ResultModel::ColumnCaption(6), "");
    QCOMPARE(ResultModel::ColumnCaption(-1), "");
  }

  void headerClicksNeitherSortNorSelect() {
    CollectorWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ResultModel& model = window.Results();
    for (const char* name : {"b", "c", "a"}) model.SetCellText(model.InsertRow(), 1, name);
    ResultView* view = window.ResultList();
    QHeaderView* header = view->horizontalHeader();
    for (int column : {1, 0, 1}) {
      const int x = header->sectionViewportPosition(column) + 5;
      QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, 5));
    }
    QCOMPARE(model.GetCellText(0, 1), "b");
    QCOMPARE(model.GetCellText(1, 1), "c");
    QCOMPARE(model.GetCellText(2, 1), "a");
    QVERIFY(!view->selectionModel()->hasSelection());
    // Columns keep their order but their widths can be dragged.
    QVERIFY(!header->sectionsMovable());
    QCOMPARE(header->sectionResizeMode(5), QHeaderView::Interactive);
  }

  void clickSelectsOneWholeRow() {
    CollectorWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ResultModel& model = window.Results();
    for (int i = 0; i < 3; ++i) model.InsertRow(-1, std::to_string(i));
    ResultView* view = window.ResultList();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      view->visualRect(model.index(1, 2)).center());
    QCOMPARE(view->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(view->selectionModel()->selectedIndexes().size(), 6);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      view->visualRect(model.index(2, 0)).center());
    QCOMPARE(view->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(view->selectionModel()->selectedRows()[0].row(), 2);
  }

  void selectionShowsOnlyWithFocus() {
    CollectorWindow window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    ResultModel& model = window.Results();
    model.InsertRow(-1, "1");
    model.InsertRow(-1, "2");
    ResultView* view = window.ResultList();
    view->setFocus();
    view->selectRow(0);
    const QPoint inRow = view->visualRect(model.index(0, 2)).center() + QPoint(0, 0);
    auto pixel = [&] { return view->viewport()->grab().toImage().pixelColor(inRow); };
    QVERIFY(view->hasFocus());
    const QColor focused = pixel();
    QVERIFY(focused != QColor(Qt::white));
    window.StartButton()->setFocus();
    QVERIFY(!view->hasFocus());
    QCOMPARE(pixel(), QColor(Qt::white));
    QCOMPARE(view->selectionModel()->selectedRows().size(), 1);  // still selected
  }

  void panesStartWithTheirTexts() {
    StatusPanes panes;
    panes.resize(575, StatusPanes::Height);
    panes.show();
    QCOMPARE(panes.PaneText(0), QStringLiteral("运行状态:"));
    QCOMPARE(panes.PaneText(1), QStringLiteral("准备采集。。。"));
    QCOMPARE(panes.PaneText(2), QStringLiteral("软件制作：Mivu"));
    QCOMPARE(panes.Pane(2)->toolTip(), QStringLiteral("软件制作：Mivu"));
    QVERIFY(panes.Pane(0)->toolTip().isEmpty());
    QVERIFY(panes.Pane(1)->toolTip().isEmpty());
    // Right edges at 100 and 400, the last pane reaching the end of the bar.
    QVERIFY(panes.Pane(0)->geometry().right() < 100);
    QVERIFY(panes.Pane(1)->x() >= 100 && panes.Pane(1)->geometry().right() < 400);
    QVERIFY(panes.Pane(2)->x() >= 400);
    QCOMPARE(panes.Pane(2)->geometry().right(), 574);
    for (int i = 0; i < 3; ++i) {
      QCOMPARE(panes.Pane(i)->frameShadow(), QFrame::Sunken);
    }
  }

  void paneTextsOutsideThePanesAreIgnored() {
    StatusPanes panes;
    panes.SetPaneText(3, QStringLiteral("x"));
    panes.SetPaneText(-1, QStringLiteral("y"));
    panes.SetPaneText(1, QStringLiteral("正在采集店铺：http://shop1.velmo.com"));
    QCOMPARE(panes.PaneText(0), QStringLiteral("运行状态:"));
    QCOMPARE(panes.PaneText(1), QStringLiteral("正在采集店铺：http://shop1.velmo.com"));
    QCOMPARE(panes.PaneText(2), QStringLiteral("软件制作：Mivu"));
    QCOMPARE(panes.PaneText(3), QString());
    // Shown as plain text, whatever a shop name holds.
    panes.SetPaneText(0, QStringLiteral("<b>x</b>"));
    QCOMPARE(panes.Pane(0)->textFormat(), Qt::PlainText);
  }
};

QTEST_MAIN(ResultListTest)
#include "result_list_test.moc"
