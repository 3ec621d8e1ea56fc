// The collector window: the program's only window, with the run settings, the Start, Stop and
// Export buttons, the result list and the status bar, each control at its fixed place and named
// by its identifier (app/controls.h). User events are passed to the handlers given from
// outside. Closing is always granted: the destroyed handler runs (it may show a modal box), the
// bridge to worker threads is closed, and the window goes.
#pragma once

#include <QWidget>
#include <functional>
#include <map>
#include <string>
#include <string_view>

class QCheckBox;
class QLabel;
class QPushButton;

namespace shopwalk {

class CaptionGroupBox;
class IntEdit;
class PictureBox;
class ResultModel;
class ResultView;
class SpinArrows;
class StatusPanes;
class UiBridge;

// The window's events. An empty function ignores its event.
struct WindowHandlers {
  std::function<void()> onCreated;    // raised once by RaiseCreated()
  std::function<void()> onDestroyed;  // while the window closes; may show a modal box
  std::function<void()> onStart;
  std::function<void()> onStop;
  std::function<void()> onExport;
  std::function<void(int)> onSpin;  // +1 / -1 from the thread-count arrows
};

// The address label's text: "起始店铺:http://shop", 14 spaces (where the shop-ID field lies), "."
// and the marketplace's domain.
QString AddressLabelText();

// The window's title; while every connection goes to another address (`connectTo`, from
// SHOPWALK_CONNECT_TO, not empty) it says so and names the address.
QString WindowTitle(std::string_view connectTo = {});

class CollectorWindow : public QWidget {
  Q_OBJECT
 public:
  explicit CollectorWindow(WindowHandlers handlers = {});
  ~CollectorWindow() override;

  void SetHandlers(WindowHandlers handlers);
  // The bridge to close when the window closes (may be null).
  void SetBridge(UiBridge* bridge);

  void RaiseCreated();
  // Places the window's frame centred on its screen and shows it.
  void ShowCentred();

  // The control with this identifier; nullptr for an unknown one and for the file dialog, which
  // has no window of its own.
  QWidget* Control(std::string_view identifier) const;

  CaptionGroupBox* SettingsGroup() const { return group_; }
  QLabel* AddressLabel() const { return addressLabel_; }
  IntEdit* ShopIdField() const { return shopIdField_; }
  IntEdit* ThreadCountField() const { return threadCountField_; }
  SpinArrows* ThreadCountArrows() const { return arrows_; }
  QPushButton* StartButton() const { return startButton_; }
  QPushButton* StopButton() const { return stopButton_; }
  QPushButton* ExportButton() const { return exportButton_; }
  QCheckBox* MessengerOnlyCheck() const { return messengerOnly_; }
  ResultModel& Results() const { return *results_; }
  ResultView* ResultList() const { return resultList_; }
  StatusPanes* Status() const { return status_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  template <class T>
  T* Named(T* widget, std::string_view identifier);

  WindowHandlers handlers_;
  UiBridge* bridge_ = nullptr;
  bool closing_ = false;
  bool inDestroyedHandler_ = false;
  std::map<std::string, QWidget*, std::less<>> controls_;

  CaptionGroupBox* group_;
  QLabel* addressLabel_;
  IntEdit* shopIdField_;
  QLabel* threadCountLabel_;
  IntEdit* threadCountField_;
  SpinArrows* arrows_;
  QPushButton* startButton_;
  QPushButton* stopButton_;
  QPushButton* exportButton_;
  PictureBox* logo_;
  QCheckBox* messengerOnly_;
  ResultModel* results_;
  ResultView* resultList_;
  StatusPanes* status_;
};

}  // namespace shopwalk
