#include "pages/opc_tag_page.h"

#include <QTabBar>

#include "pages/twips_p.h"
#include "platform/automation/convert.h"

namespace vexa32::pages {
namespace {

// Row r's top on its tab, measured from the tab control's top as the tab bar is part of it.
int row_top(int r) { return 480 + r * 7440 / 19; }

}  // namespace

OPC_Tag::OPC_Tag(QWidget* parent) : PropertyPage("OPC_Tag", parent) {
  setFixedSize(px(8670), px(8475));
  SSTab1 = named(new QTabWidget(this), "SSTab1");
  place(SSTab1, 0, 0, 8655, 8415);
  const char* captions[] = {"Itm0 - Itm19", "Itm20 - Itm39", "Itm40 - Itm59"};
  for (int tab = 0; tab < 3; ++tab) {
    auto* page = new QWidget;
    page->setObjectName(QString("Tab%1").arg(tab));
    SSTab1->addTab(page, captions[tab]);
  }
  // Rows are placed from the tab control's top; the page under the tab bar starts lower.
  const int bar = SSTab1->tabBar()->sizeHint().height();
  for (int n = 0; n < kSlots; ++n) {
    QWidget* page = SSTab1->widget(n / 20);
    const int r = n % 20;
    const int top = px(row_top(r)) - bar;
    auto* label = new QLabel(QString("itm%1:").arg(n), page);
    label->setObjectName(QString("lblitm%1").arg(r));
    label->setProperty("Index", n / 20);
    // The label ends where the text box begins: laid under the box it would show only "itm1"
    // of "itm19:" in today's fonts. The box keeps its right edge.
    label->setGeometry(px(120), top, px(735), px(330));
    auto* box = new QLineEdit(page);
    box->setObjectName(QString("txtitm%1").arg(n));
    box->setGeometry(px(870), top, px(7050), px(330));
    auto* button = new QPushButton("...", page);
    button->setObjectName("cmdBrws");
    button->setProperty("Index", n);
    button->setGeometry(px(8040), top, px(375), px(330));
    lblitm[static_cast<std::size_t>(n)] = label;
    txtitm[static_cast<std::size_t>(n)] = box;
    cmdBrws[static_cast<std::size_t>(n)] = button;
    connect(box, &QLineEdit::textChanged, this, [this] { setChanged(true); });
    connect(button, &QPushButton::clicked, this, [this, n] { cmdBrws_Click(n); });
  }
}

OPC_Tag::~OPC_Tag() {
  if (dialog_) dialog_->OKclk.disconnect(ok_cookie_);
}

void OPC_Tag::Initialize() {
  drop_dialog();
  dialog_ = std::make_unique<TagDialog>(this);
  ok_cookie_ = dialog_->OKclk.connect([this] { frmTgDialog_OKclk(); });
  prepared_ = false;
}

void OPC_Tag::drop_dialog() {
  if (!dialog_) return;
  dialog_->OKclk.disconnect(ok_cookie_);
  // A dropped dialog's connection is closed, not left to linger until the page goes.
  if (dialog_->tagfrmLoad) dialog_->unld();
  dialog_.reset();
}

void OPC_Tag::SelectionChanged() {
  Dispatch& control = first_selected();
  for (int n = 0; n < kSlots; ++n) {
    const Variant name = control.call("GetItmName", {Variant(static_cast<std::int16_t>(n))});
    txtitm[static_cast<std::size_t>(n)]->setText(QString::fromStdString(to_bstr(name)));
  }
}

void OPC_Tag::ApplyChanges() {
  Dispatch& control = first_selected();
  for (int n = 0; n < kSlots; ++n) {
    control.call("SetItmName", {Variant(static_cast<std::int16_t>(n)),
                                Variant(txtitm[static_cast<std::size_t>(n)]->text().toStdString())});
  }
}

void OPC_Tag::Terminate() {
  if (dialog_ && dialog_->tagfrmLoad) dialog_->unld();
}

void OPC_Tag::cmdBrws_Click(int index) {
  // Every failure here is skipped and the next step runs: the dialog still opens.
  std::string svrname;
  Variant nodname;
  try {
    Dispatch& control = first_selected();
    svrname = to_bstr(control.get("svrname"));
    nodname = control.get("nodname");
  } catch (const AutomationError&) {
    return;
  }
  if (svrname.empty()) return;
  // A dialog closed by its close box has lost its window and connection: prepare a fresh one.
  if (!prepared_ || !dialog_ || dialog_->m_svrname != svrname || !dialog_->tagfrmLoad) {
    Initialize();
    dialog_->m_svrname = svrname;
    dialog_->m_nodname = nodname;
    try {
      dialog_->StrtAddItm();
    } catch (const AutomationError&) {
    }
    try {
      dialog_->Prepare();
    } catch (const AutomationError&) {
    }
    prepared_ = true;
  }
  browse_slot_ = static_cast<std::int16_t>(index);
  dialog_->tagTmp = txtitm[static_cast<std::size_t>(index)]->text().toStdString();
  dialog_->Show();
}

void OPC_Tag::frmTgDialog_OKclk() {
  txtitm[static_cast<std::size_t>(browse_slot_)]->setText(QString::fromStdString(dialog_->tagTmp));
}

}  // namespace vexa32::pages
