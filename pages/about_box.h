#pragma once
// abt: the about box. One shared instance, shown modeless and without owner.

#include <QLabel>
#include <QTextEdit>
#include <QWidget>

namespace vexa32::pages {

class abt final : public QWidget {
 public:
  // The one instance, created on first use and shown (again) on every call.
  static abt& show_shared();
  // The instance if one was created, for tests.
  static abt* shared_instance();

  void Form_Load();

  QTextEdit* Text1;
  QLabel* Label2;
  QLabel* Label1;
  QLabel* Image1;

 private:
  abt();
};

}  // namespace vexa32::pages
