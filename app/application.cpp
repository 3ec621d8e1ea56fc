#include "app/application.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QLibraryInfo>
#include <QPixmap>
#include <QTranslator>

#include "app/collector_window.h"
#include "app/dialogs.h"
#include "app/fonts.h"
#include "app/pictures.h"
#include "app/qt_collector_ui.h"
#include "app/ui_bridge.h"

namespace shopwalk {

Application::Application(int& argc, char** argv) : qt_(std::make_unique<QApplication>(argc, argv)) {
  QDir::setCurrent(QCoreApplication::applicationDirPath());
  QApplication::setApplicationName(QStringLiteral("shopwalk"));
  QApplication::setFont(DefaultGuiFont());
  QApplication::setWindowIcon(QIcon(QPixmap::fromImage(MakeIconImage())));
  // The toolkit's own dialogs in Chinese, where the translation is installed.
  auto* translator = new QTranslator(qt_.get());
  if (translator->load(QStringLiteral("qtbase_zh_CN"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(translator);
  }

  dialogs_ = std::make_unique<QtDialogHost>();
  bridge_ = std::make_unique<UiBridge>();
  window_ = std::make_unique<CollectorWindow>();
  window_->SetBridge(bridge_.get());
  ui_ = std::make_unique<QtCollectorUi>(*window_, *dialogs_, *bridge_);
}

Application::~Application() {
  bridge_->Close();
  window_.reset();
  ui_.reset();
  bridge_.reset();
  dialogs_.reset();
  qt_.reset();
}

WindowUi& Application::Ui() {
  return *ui_;
}

CollectorWindow& Application::Window() {
  return *window_;
}

void Application::SetHandlers(CollectorHandlers handlers) {
  handlers_ = std::move(handlers);
  auto raise = [this](const std::function<void(WindowUi&)>& handler) {
    return [this, &handler] {
      if (handler) handler(*ui_);
    };
  };
  WindowHandlers events;
  events.onCreated = raise(handlers_.OnCollectorCreated);
  events.onDestroyed = raise(handlers_.OnCollectorDestroyed);
  events.onStart = raise(handlers_.OnStartClicked);
  events.onStop = raise(handlers_.OnStopClicked);
  events.onExport = raise(handlers_.OnExportClicked);
  events.onSpin = [this](int delta) {
    if (handlers_.OnThreadCountSpin) handlers_.OnThreadCountSpin(*ui_, delta);
  };
  window_->SetHandlers(std::move(events));
}

int Application::Run() {
  window_->RaiseCreated();
  window_->ShowCentred();
  const int code = QApplication::exec();
  // The window has closed (which closed the bridge); make sure of it however the loop ended.
  bridge_->Close();
  window_.reset();
  if (handlers_.ShutDown) handlers_.ShutDown();
  return code;
}

}  // namespace shopwalk
