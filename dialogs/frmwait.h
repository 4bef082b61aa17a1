#pragma once
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QString>

class QFontMetrics;

namespace kvor {

class App;

// The progress dialog: shown before each scan, unloaded after it. Only its Cancel closes it.
class frmWait : public QDialog {
  Q_OBJECT
 public:
  explicit frmWait(App& app);

  void Form_Load();
  void btnStop_Click();
  // Shows `path` in lblCurDir: wrapped over two lines, shortened in the middle beyond that.
  void SetCurrentDir(const QString& path);

  QLabel* img1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* lblCurDir = nullptr;
  QPushButton* btnStop = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;     // refused
  void keyPressEvent(QKeyEvent* event) override;     // Escape refused
  void reject() override;                            // refused
  void showEvent(QShowEvent* event) override;

 private:
  App& app_;
};

// Stops the running scan and leaves the single node "User Aborted..." in the tree.
void AbortScan(App& app);

// `text` laid out in at most two lines of `width` pixels: broken after a separator where one
// falls late enough, else between characters; a text too long for two lines loses its middle.
QString FitTwoLines(const QString& text, const QFontMetrics& metrics, int width);

}  // namespace kvor
