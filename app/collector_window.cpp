#include "app/collector_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

#include "app/caption_group_box.h"
#include "app/controls.h"
#include "app/fonts.h"
#include "app/int_edit.h"
#include "app/pictures.h"
#include "app/qt_text.h"
#include "app/result_model.h"
#include "app/result_view.h"
#include "app/spin_arrows.h"
#include "app/status_panes.h"
#include "app/ui_bridge.h"
#include "app/window_position.h"
#include "app/window_texts.h"
#include "collect/marketplace.h"
#include "net/web_access.h"

namespace shopwalk {

namespace {

QPushButton* MakeButton(const QString& caption, QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setAutoDefault(false);
  button->setDefault(false);
  button->setFocusPolicy(Qt::StrongFocus);
  return button;
}

}  // namespace

QString AddressLabelText() {
  return QStringLiteral("起始店铺:http://shop") + QString(14, u' ') + QStringLiteral(".") +
         FromUtf8(MarketplaceDomain);
}

QString WindowTitle(std::string_view connectTo) {
  QString title = QStringLiteral("shopwalk 店铺采集");
  if (!connectTo.empty()) {
    title += FromUtf8(ConnectToTitlePrefix) + FromUtf8(connectTo) + FromUtf8(ConnectToTitleSuffix);
  }
  return title;
}

template <class T>
T* CollectorWindow::Named(T* widget, std::string_view identifier) {
  widget->setObjectName(FromUtf8(identifier));
  controls_.emplace(std::string(identifier), widget);
  return widget;
}

CollectorWindow::CollectorWindow(WindowHandlers handlers)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      handlers_(std::move(handlers)) {
  // Through a proxy named for every request the redirect does not apply, and the title says none.
  setWindowTitle(
      WindowTitle(Proxy().source == ProxySetting::Source::Given ? std::string() : ConnectTo()));
  setWindowIcon(QIcon(QPixmap::fromImage(MakeIconImage())));
  setFixedSize(WindowClientSize);
  setFont(DefaultGuiFont());

  // Created in tab order: the shop-ID field, the thread count, the three buttons, the check box,
  // then the list.
  group_ = Named(new CaptionGroupBox(FromUtf8(SettingsGroupCaption), this), ctl::SettingsGroup);
  group_->setGeometry(8, 8, 560, 94);
  group_->SetCaptionFont(GroupCaptionFont());
  group_->SetCaptionColor(QColor(255, 0, 0));
  group_->setFocusPolicy(Qt::NoFocus);

  addressLabel_ = Named(new QLabel(AddressLabelText(), group_), ctl::AddressLabel);
  addressLabel_->setGeometry(10, 26, 286, 20);
  addressLabel_->setFont(AddressLabelFont());
  addressLabel_->setTextFormat(Qt::PlainText);
  addressLabel_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  // Laid over the label's run of spaces, so the two read as one shop address.
  shopIdField_ = Named(new IntEdit(group_), ctl::ShopIdEdit);
  shopIdField_->setGeometry(133, 23, 80, 24);

  threadCountLabel_ = Named(new QLabel(QStringLiteral("线程数:"), group_), ctl::ThreadCountLabel);
  threadCountLabel_->setGeometry(5, 58, 56, 25);
  threadCountLabel_->setTextFormat(Qt::PlainText);
  threadCountLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  threadCountField_ = Named(new IntEdit(group_), ctl::ThreadCountEdit);
  threadCountField_->setGeometry(68, 58, 40, 25);
  threadCountField_->setText(FromUtf8(InitialThreadCount));

  arrows_ = new SpinArrows(group_);
  arrows_->setObjectName(QStringLiteral("threadCountArrows"));
  arrows_->AttachTo(*threadCountField_);

  startButton_ = Named(MakeButton(QStringLiteral("开始"), group_), ctl::StartButton);
  startButton_->setGeometry(142, 57, 74, 28);
  stopButton_ = Named(MakeButton(QStringLiteral("停止"), group_), ctl::StopButton);
  stopButton_->setGeometry(228, 57, 74, 28);
  exportButton_ = Named(MakeButton(QStringLiteral("导出"), group_), ctl::ExportButton);
  exportButton_->setGeometry(313, 57, 74, 28);

  logo_ = Named(new PictureBox(MakeLogoImage(), group_), ctl::LogoPicture);
  logo_->setGeometry(382, 10, 174, 44);

  messengerOnly_ =
      Named(new QCheckBox(FromUtf8(MessengerOnlyCaption), group_), ctl::MessengerOnlyCheck);
  messengerOnly_->setGeometry(408, 64, 120, 16);
  messengerOnly_->setChecked(true);
  messengerOnly_->setFocusPolicy(Qt::StrongFocus);

  results_ = new ResultModel(this);
  resultList_ = Named(new ResultView(this), ctl::ResultList);
  resultList_->setGeometry(8, 105, 560, 390);
  resultList_->setModel(results_);

  status_ = Named(new StatusPanes(this), ctl::StatusBar);
  status_->setGeometry(0, WindowClientSize.height() - StatusPanes::Height, WindowClientSize.width(),
                       StatusPanes::Height);

  setTabOrder(shopIdField_, threadCountField_);
  setTabOrder(threadCountField_, startButton_);
  setTabOrder(startButton_, stopButton_);
  setTabOrder(stopButton_, exportButton_);
  setTabOrder(exportButton_, messengerOnly_);
  setTabOrder(messengerOnly_, resultList_);

  connect(startButton_, &QPushButton::clicked, this, [this] {
    if (handlers_.onStart) handlers_.onStart();
  });
  connect(stopButton_, &QPushButton::clicked, this, [this] {
    if (handlers_.onStop) handlers_.onStop();
  });
  connect(exportButton_, &QPushButton::clicked, this, [this] {
    if (handlers_.onExport) handlers_.onExport();
  });
  connect(arrows_, &SpinArrows::Spin, this, [this](int delta) {
    if (handlers_.onSpin) handlers_.onSpin(delta);
  });
}

CollectorWindow::~CollectorWindow() = default;

void CollectorWindow::SetHandlers(WindowHandlers handlers) {
  handlers_ = std::move(handlers);
}

void CollectorWindow::SetBridge(UiBridge* bridge) {
  bridge_ = bridge;
}

void CollectorWindow::RaiseCreated() {
  if (handlers_.onCreated) handlers_.onCreated();
}

void CollectorWindow::ShowCentred() {
  QScreen* shown = screen() ? screen() : QGuiApplication::primaryScreen();
  if (shown) {
    const QRect area = shown->geometry();
    move(area.topLeft() + CentredFramePosition(area.size()));
  }
  show();
}

QWidget* CollectorWindow::Control(std::string_view identifier) const {
  auto it = controls_.find(identifier);
  return it == controls_.end() ? nullptr : it->second;
}

void CollectorWindow::closeEvent(QCloseEvent* event) {
  // A second close request while the destroyed handler's question is open waits for it.
  if (inDestroyedHandler_) {
    event->ignore();
    return;
  }
  if (!closing_) {
    closing_ = true;
    inDestroyedHandler_ = true;
    if (handlers_.onDestroyed) handlers_.onDestroyed();
    inDestroyedHandler_ = false;
    // From here on, calls from other threads return at once and never reach the widgets.
    if (bridge_) bridge_->Close();
  }
  event->accept();
}

}  // namespace shopwalk
