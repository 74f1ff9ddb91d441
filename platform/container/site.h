#pragma once
// The control site: what a control knows of its container. A put tells the site which property
// changed; a site may refuse (throw), and the put then fails after the value has been stored.

#include <string>
#include <string_view>
#include <vector>

namespace vexa32 {

class ControlSite {
 public:
  virtual ~ControlSite() = default;
  // PropertyChanged: the container marks its form modified and refreshes its property browser.
  virtual void OnChanged(std::string_view property_name) = 0;
  // Ambient UserMode: true at run time, false in a form designer.
  virtual bool UserMode() const = 0;
  // Asks the container to show the library's about box (a click on the control's background).
  virtual void ShowAboutBox() {}
};

// A site that records every notification; tests and the headless host use it.
class RecordingSite : public ControlSite {
 public:
  explicit RecordingSite(bool user_mode = true) : user_mode_(user_mode) {}

  void OnChanged(std::string_view property_name) override;
  bool UserMode() const override { return user_mode_; }
  void ShowAboutBox() override { ++about_requests; }

  void set_user_mode(bool user_mode) { user_mode_ = user_mode; }
  // The next notification for this name (any, when empty) throws this error, once.
  void fail_next(std::string property_name, int error_number = 5);

  std::vector<std::string> changes;
  int about_requests = 0;

 private:
  bool user_mode_;
  bool fail_armed_ = false;
  std::string fail_name_;
  int fail_number_ = 0;
};

}  // namespace vexa32
