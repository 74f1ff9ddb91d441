#pragma once
// The vexa control as a Qt widget: its surface (the buttons and the logo) and one control of its
// own, for any Qt application and for Qt Designer. The Qt properties are the control's persistent
// settings under the control's names; every write goes through the control's by-name property
// path, so conversions, refusals and change notifications are the control's own.

#include <QDateTime>
#include <QVariant>
#include <QWidget>
#include <memory>

namespace vexa32 {
class vexa;
}

namespace vexa32::widgets {

class VexaWidget : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QString svrname READ svrname WRITE setSvrname NOTIFY settingChanged)
  Q_PROPERTY(QString nodname READ nodname WRITE setNodname NOTIFY settingChanged)
  Q_PROPERTY(int UpdateRate READ UpdateRate WRITE setUpdateRate NOTIFY settingChanged)
  Q_PROPERTY(QString srcFile READ srcFile WRITE setSrcFile NOTIFY settingChanged)
  Q_PROPERTY(QString delimit READ delimit WRITE setDelimit NOTIFY settingChanged)
  Q_PROPERTY(int rowCount READ rowCount WRITE setRowCount NOTIFY settingChanged)
  Q_PROPERTY(int columnIndex READ columnIndex WRITE setColumnIndex NOTIFY settingChanged)
  Q_PROPERTY(int startRow READ startRow WRITE setStartRow NOTIFY settingChanged)
  Q_PROPERTY(bool IsConnect READ IsConnect NOTIFY connectedChanged STORED false DESIGNABLE false)
  // The 60 tag names. moc needs each property written out; the accessors come from one macro.
  Q_PROPERTY(QString itm0 READ itm0 WRITE setItm0 NOTIFY settingChanged)
  Q_PROPERTY(QString itm1 READ itm1 WRITE setItm1 NOTIFY settingChanged)
  Q_PROPERTY(QString itm2 READ itm2 WRITE setItm2 NOTIFY settingChanged)
  Q_PROPERTY(QString itm3 READ itm3 WRITE setItm3 NOTIFY settingChanged)
  Q_PROPERTY(QString itm4 READ itm4 WRITE setItm4 NOTIFY settingChanged)
  Q_PROPERTY(QString itm5 READ itm5 WRITE setItm5 NOTIFY settingChanged)
  Q_PROPERTY(QString itm6 READ itm6 WRITE setItm6 NOTIFY settingChanged)
  Q_PROPERTY(QString itm7 READ itm7 WRITE setItm7 NOTIFY settingChanged)
  Q_PROPERTY(QString itm8 READ itm8 WRITE setItm8 NOTIFY settingChanged)
  Q_PROPERTY(QString itm9 READ itm9 WRITE setItm9 NOTIFY settingChanged)
  Q_PROPERTY(QString itm10 READ itm10 WRITE setItm10 NOTIFY settingChanged)
  Q_PROPERTY(QString itm11 READ itm11 WRITE setItm11 NOTIFY settingChanged)
  Q_PROPERTY(QString itm12 READ itm12 WRITE setItm12 NOTIFY settingChanged)
  Q_PROPERTY(QString itm13 READ itm13 WRITE setItm13 NOTIFY settingChanged)
  Q_PROPERTY(QString itm14 READ itm14 WRITE setItm14 NOTIFY settingChanged)
  Q_PROPERTY(QString itm15 READ itm15 WRITE setItm15 NOTIFY settingChanged)
  Q_PROPERTY(QString itm16 READ itm16 WRITE setItm16 NOTIFY settingChanged)
  Q_PROPERTY(QString itm17 READ itm17 WRITE setItm17 NOTIFY settingChanged)
  Q_PROPERTY(QString itm18 READ itm18 WRITE setItm18 NOTIFY settingChanged)
  Q_PROPERTY(QString itm19 READ itm19 WRITE setItm19 NOTIFY settingChanged)
  Q_PROPERTY(QString itm20 READ itm20 WRITE setItm20 NOTIFY settingChanged)
  Q_PROPERTY(QString itm21 READ itm21 WRITE setItm21 NOTIFY settingChanged)
  Q_PROPERTY(QString itm22 READ itm22 WRITE setItm22 NOTIFY settingChanged)
  Q_PROPERTY(QString itm23 READ itm23 WRITE setItm23 NOTIFY settingChanged)
  Q_PROPERTY(QString itm24 READ itm24 WRITE setItm24 NOTIFY settingChanged)
  Q_PROPERTY(QString itm25 READ itm25 WRITE setItm25 NOTIFY settingChanged)
  Q_PROPERTY(QString itm26 READ itm26 WRITE setItm26 NOTIFY settingChanged)
  Q_PROPERTY(QString itm27 READ itm27 WRITE setItm27 NOTIFY settingChanged)
  Q_PROPERTY(QString itm28 READ itm28 WRITE setItm28 NOTIFY settingChanged)
  Q_PROPERTY(QString itm29 READ itm29 WRITE setItm29 NOTIFY settingChanged)
  Q_PROPERTY(QString itm30 READ itm30 WRITE setItm30 NOTIFY settingChanged)
  Q_PROPERTY(QString itm31 READ itm31 WRITE setItm31 NOTIFY settingChanged)
  Q_PROPERTY(QString itm32 READ itm32 WRITE setItm32 NOTIFY settingChanged)
  Q_PROPERTY(QString itm33 READ itm33 WRITE setItm33 NOTIFY settingChanged)
  Q_PROPERTY(QString itm34 READ itm34 WRITE setItm34 NOTIFY settingChanged)
  Q_PROPERTY(QString itm35 READ itm35 WRITE setItm35 NOTIFY settingChanged)
  Q_PROPERTY(QString itm36 READ itm36 WRITE setItm36 NOTIFY settingChanged)
  Q_PROPERTY(QString itm37 READ itm37 WRITE setItm37 NOTIFY settingChanged)
  Q_PROPERTY(QString itm38 READ itm38 WRITE setItm38 NOTIFY settingChanged)
  Q_PROPERTY(QString itm39 READ itm39 WRITE setItm39 NOTIFY settingChanged)
  Q_PROPERTY(QString itm40 READ itm40 WRITE setItm40 NOTIFY settingChanged)
  Q_PROPERTY(QString itm41 READ itm41 WRITE setItm41 NOTIFY settingChanged)
  Q_PROPERTY(QString itm42 READ itm42 WRITE setItm42 NOTIFY settingChanged)
  Q_PROPERTY(QString itm43 READ itm43 WRITE setItm43 NOTIFY settingChanged)
  Q_PROPERTY(QString itm44 READ itm44 WRITE setItm44 NOTIFY settingChanged)
  Q_PROPERTY(QString itm45 READ itm45 WRITE setItm45 NOTIFY settingChanged)
  Q_PROPERTY(QString itm46 READ itm46 WRITE setItm46 NOTIFY settingChanged)
  Q_PROPERTY(QString itm47 READ itm47 WRITE setItm47 NOTIFY settingChanged)
  Q_PROPERTY(QString itm48 READ itm48 WRITE setItm48 NOTIFY settingChanged)
  Q_PROPERTY(QString itm49 READ itm49 WRITE setItm49 NOTIFY settingChanged)
  Q_PROPERTY(QString itm50 READ itm50 WRITE setItm50 NOTIFY settingChanged)
  Q_PROPERTY(QString itm51 READ itm51 WRITE setItm51 NOTIFY settingChanged)
  Q_PROPERTY(QString itm52 READ itm52 WRITE setItm52 NOTIFY settingChanged)
  Q_PROPERTY(QString itm53 READ itm53 WRITE setItm53 NOTIFY settingChanged)
  Q_PROPERTY(QString itm54 READ itm54 WRITE setItm54 NOTIFY settingChanged)
  Q_PROPERTY(QString itm55 READ itm55 WRITE setItm55 NOTIFY settingChanged)
  Q_PROPERTY(QString itm56 READ itm56 WRITE setItm56 NOTIFY settingChanged)
  Q_PROPERTY(QString itm57 READ itm57 WRITE setItm57 NOTIFY settingChanged)
  Q_PROPERTY(QString itm58 READ itm58 WRITE setItm58 NOTIFY settingChanged)
  Q_PROPERTY(QString itm59 READ itm59 WRITE setItm59 NOTIFY settingChanged)

 public:
  explicit VexaWidget(QWidget* parent = nullptr);
  ~VexaWidget() override;

  // The control itself, for what the Qt face does not offer (its pages, its automation interface).
  vexa& control() const noexcept;

  // Design mode: the widget sits on a form in a designer. Its buttons take no clicks, cnnec does
  // nothing, and the control's site says it is not running.
  bool designMode() const noexcept { return design_mode_; }
  void setDesignMode(bool on);

  // A setting by the control's name, through its by-name path; a refusal is reported by
  // propertyRefused and a Qt warning, and the setting keeps its value. False when refused.
  bool putSetting(const QString& name, const QVariant& value);
  QVariant setting(const QString& name) const;

  QString svrname() const { return setting("svrname").toString(); }
  void setSvrname(const QString& v) { putSetting("svrname", v); }
  QString nodname() const { return setting("nodname").toString(); }
  void setNodname(const QString& v) { putSetting("nodname", v); }
  int UpdateRate() const { return setting("UpdateRate").toInt(); }
  void setUpdateRate(int v) { putSetting("UpdateRate", v); }
  QString srcFile() const { return setting("srcFile").toString(); }
  void setSrcFile(const QString& v) { putSetting("srcFile", v); }
  QString delimit() const { return setting("delimit").toString(); }
  void setDelimit(const QString& v) { putSetting("delimit", v); }
  int rowCount() const { return setting("rowCount").toInt(); }
  void setRowCount(int v) { putSetting("rowCount", v); }
  int columnIndex() const { return setting("columnIndex").toInt(); }
  void setColumnIndex(int v) { putSetting("columnIndex", v); }
  int startRow() const { return setting("startRow").toInt(); }
  void setStartRow(int v) { putSetting("startRow", v); }
  bool IsConnect() const;

  QString itm(int slot) const;
  void setItm(int slot, const QString& name);
  // clang-format off
#define VEXA32_SLOT_ACCESSORS(n) \
  QString itm##n() const { return itm(n); } \
  void setItm##n(const QString& v) { setItm(n, v); }
  VEXA32_SLOT_ACCESSORS(0) VEXA32_SLOT_ACCESSORS(1) VEXA32_SLOT_ACCESSORS(2) VEXA32_SLOT_ACCESSORS(3)
  VEXA32_SLOT_ACCESSORS(4) VEXA32_SLOT_ACCESSORS(5) VEXA32_SLOT_ACCESSORS(6) VEXA32_SLOT_ACCESSORS(7)
  VEXA32_SLOT_ACCESSORS(8) VEXA32_SLOT_ACCESSORS(9) VEXA32_SLOT_ACCESSORS(10) VEXA32_SLOT_ACCESSORS(11)
  VEXA32_SLOT_ACCESSORS(12) VEXA32_SLOT_ACCESSORS(13) VEXA32_SLOT_ACCESSORS(14) VEXA32_SLOT_ACCESSORS(15)
  VEXA32_SLOT_ACCESSORS(16) VEXA32_SLOT_ACCESSORS(17) VEXA32_SLOT_ACCESSORS(18) VEXA32_SLOT_ACCESSORS(19)
  VEXA32_SLOT_ACCESSORS(20) VEXA32_SLOT_ACCESSORS(21) VEXA32_SLOT_ACCESSORS(22) VEXA32_SLOT_ACCESSORS(23)
  VEXA32_SLOT_ACCESSORS(24) VEXA32_SLOT_ACCESSORS(25) VEXA32_SLOT_ACCESSORS(26) VEXA32_SLOT_ACCESSORS(27)
  VEXA32_SLOT_ACCESSORS(28) VEXA32_SLOT_ACCESSORS(29) VEXA32_SLOT_ACCESSORS(30) VEXA32_SLOT_ACCESSORS(31)
  VEXA32_SLOT_ACCESSORS(32) VEXA32_SLOT_ACCESSORS(33) VEXA32_SLOT_ACCESSORS(34) VEXA32_SLOT_ACCESSORS(35)
  VEXA32_SLOT_ACCESSORS(36) VEXA32_SLOT_ACCESSORS(37) VEXA32_SLOT_ACCESSORS(38) VEXA32_SLOT_ACCESSORS(39)
  VEXA32_SLOT_ACCESSORS(40) VEXA32_SLOT_ACCESSORS(41) VEXA32_SLOT_ACCESSORS(42) VEXA32_SLOT_ACCESSORS(43)
  VEXA32_SLOT_ACCESSORS(44) VEXA32_SLOT_ACCESSORS(45) VEXA32_SLOT_ACCESSORS(46) VEXA32_SLOT_ACCESSORS(47)
  VEXA32_SLOT_ACCESSORS(48) VEXA32_SLOT_ACCESSORS(49) VEXA32_SLOT_ACCESSORS(50) VEXA32_SLOT_ACCESSORS(51)
  VEXA32_SLOT_ACCESSORS(52) VEXA32_SLOT_ACCESSORS(53) VEXA32_SLOT_ACCESSORS(54) VEXA32_SLOT_ACCESSORS(55)
  VEXA32_SLOT_ACCESSORS(56) VEXA32_SLOT_ACCESSORS(57) VEXA32_SLOT_ACCESSORS(58) VEXA32_SLOT_ACCESSORS(59)
#undef VEXA32_SLOT_ACCESSORS

  // The names of the persistent settings, in the control's order: what the Qt properties above
  // are, and what a designer saves.
  static QStringList settingNames();
  // clang-format on

 public slots:
  // Connects and disconnects as the control does; false, with nothing done, in design mode.
  bool cnnec();
  bool discnn();
  bool opcWrt(int slot, const QVariant& value);
  // The latest value, quality and time stamp (UTC) of a slot, as the control gives them (a slot
  // outside 0..59 has a null value and quality).
  QVariant vl(int slot) const;
  QVariant quality(int slot) const;
  QDateTime timeStamp(int slot) const;
  // The control's property pages on this widget, modal; true when something was applied.
  bool showPropertyPages();

 signals:
  // After every data change of the control's group: the slots hold the new values.
  void datChange();
  void propertyRefused(const QString& name, const QString& message);
  // A setting changed (the control's PropertyChanged), by whatever path.
  void settingChanged(const QString& name);
  void connectedChanged(bool connected);
  // A call failed (cnnec, discnn, opcWrt and the readers outside their range): the control's
  // run-time error text.
  void callFailed(const QString& call, const QString& message);

 public:
  // The size a newly placed control takes.
  static QSize defaultSize();
  QSize sizeHint() const override { return defaultSize(); }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool design_mode_ = false;
};

}  // namespace vexa32::widgets
