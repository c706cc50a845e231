#include "ui/dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace fazorn::ui {

namespace {
QPushButton* addButtonRow(QDialog* dialog, QVBoxLayout* layout, const QString& caption) {
  auto* box = new QDialogButtonBox(dialog);
  QPushButton* button = box->addButton(caption, QDialogButtonBox::AcceptRole);
  button->setDefault(true);
  QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  layout->addWidget(box);
  return button;
}
}  // namespace

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("About"));
  auto* layout = new QVBoxLayout(this);
  auto* name = new QLabel(QStringLiteral("Fazorn"), this);
  QFont big = name->font();
  big.setPointSize(big.pointSize() + 6);
  big.setBold(true);
  name->setFont(big);
  layout->addWidget(name);
  auto* text = new QLabel(this);
  text->setTextFormat(Qt::PlainText);
  text->setText(tr("Version %1\n\n"
                   "Period analysis of light curves.\n\n"
                   "Multiharmonic analysis of variance (AoV): Schwarzenberg-Czerny 1996.\n"
                   "Lomb-Scargle periodogram: Lomb 1976, Scargle 1982, in the\n"
                   "Numerical Recipes formulation.\n"
                   "Transit search (AoVtr): the AoV statistic with a box-shaped model.\n"
                   "Classification: comparison of the normalised phased light curve\n"
                   "with template light curves.")
                    .arg(QStringLiteral(FAZORN_VERSION)));
  layout->addWidget(text);
  addButtonRow(this, layout, tr("OK"));
}

HelpForm::HelpForm(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Help"));
  auto* layout = new QVBoxLayout(this);
  auto* text = new QLabel(this);
  text->setTextFormat(Qt::PlainText);
  text->setText(
      tr("Open a light curve (time, value, error per observation) with O.\n"
         "Set the period range, harmonics and resolution, then press AoV (F1).\n"
         "Click a point to mark it; drag a rectangle to zoom, double-click to\n"
         "restore. Right-click a chart to save it as PNG or PDF."));
  layout->addWidget(text);
  addButtonRow(this, layout, tr("Close"));
}

AddingForm::AddingForm(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Add a value"));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  valueField = new QLineEdit(QStringLiteral("0"), this);
  form->addRow(QStringLiteral("Add a value::"), valueField);
  layout->addLayout(form);
  addButtonRow(this, layout, QStringLiteral("OK"));
}

}  // namespace fazorn::ui
