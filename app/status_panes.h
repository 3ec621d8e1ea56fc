// The status bar: three sunken text panes across the bottom of the window, 100 and 300 pixels
// wide and the rest of the bar, with their initial texts and the credit tooltip on the last one.
// No size grip. Pane texts are shown as plain text.
#pragma once

#include <QString>
#include <QWidget>
#include <array>

#include "app/window_texts.h"

class QLabel;

namespace shopwalk {

class StatusPanes : public QWidget {
  Q_OBJECT
 public:
  static constexpr int Height = 22;

  explicit StatusPanes(QWidget* parent = nullptr);

  // Shows `text` in the pane; a pane outside 0..2 is ignored.
  void SetPaneText(int pane, const QString& text);
  // The pane's text; empty for a pane outside 0..2.
  QString PaneText(int pane) const;
  // The pane's label (nullptr outside 0..2).
  QLabel* Pane(int pane) const;

  QSize sizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  std::array<QLabel*, StatusPaneCount> panes_;
};

}  // namespace shopwalk
