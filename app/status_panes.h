// The status bar: three sunken text panes across the bottom of the window, 100 and 300 pixels
// wide and the rest of the bar, with their initial texts and the credit tooltip on the last one.
// No size grip. Pane texts are shown as plain text.
//
// Texts may be written many times a second (the progress of a run): the latest text of each pane
// is kept and shown at most once per frame of the screen (a write after a quiet frame at once,
// further writes of the frame together at its end), and writing the text a pane already shows
// costs nothing. PaneText gives the latest text written at once, shown yet or not.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
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

  // Shows `text` in the pane by the next frame; a pane outside 0..2 is ignored.
  void SetPaneText(int pane, const QString& text);
  // The pane's latest text; empty for a pane outside 0..2.
  QString PaneText(int pane) const;
  // The pane's label (nullptr outside 0..2). Its text lags behind PaneText by up to a frame.
  QLabel* Pane(int pane) const;

  QSize sizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Puts the latest texts into the labels that do not show them yet.
  void ShowLatestTexts();

  std::array<QLabel*, StatusPaneCount> panes_;
  std::array<QString, StatusPaneCount> latest_;
  QTimer nextFrame_;
  // Since the latest texts were last put into the labels.
  QElapsedTimer lastShown_;
};

}  // namespace shopwalk
