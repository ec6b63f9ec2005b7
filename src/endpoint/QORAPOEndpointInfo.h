#pragma once

// The endpoint record. For now it carries only the direction; identity, registry locations and
// the configuration path come with endpoint discovery.
class QORAPOEndpointInfo {
 public:
  virtual ~QORAPOEndpointInfo() = default;

  bool IsRender() const { return render_; }
  void SetRender(bool render) { render_ = render; }

 private:
  bool render_ = true;
};
