// Root of the library's components: the published version and the tests of
// the component state that every subclass asks.
#pragma once

#include <atomic>
#include <string>

#include "rtl/Classes.h"

class TkfxComponent_Base : public TComponent {
 public:
  explicit TkfxComponent_Base(TComponent* AOwner) : TComponent(AOwner) {}
  ~TkfxComponent_Base() override;

  // Read-only and published.
  std::string Version() const { return "4.5.1"; }

  virtual bool IsDesigning() const;
  // Safe on any thread: worker threads ask it before they deliver anything.
  virtual bool IsDestroying() const;
  virtual bool IsLoading() const;

  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  // The first step of every destructor of the tree: from here on no event is
  // delivered. The component state itself is only read on the main thread.
  void BeginDestroying();

 private:
  std::atomic<bool> FDestroyingFlag{false};
};
