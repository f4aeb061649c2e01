// The application base: a hook for periodic updates and the message loop.
#ifndef PANELKIT_APPLICATION_H
#define PANELKIT_APPLICATION_H

class Application {
 public:
  Application() = default;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;
  virtual ~Application() = default;

  virtual void update() {}
  // Gets and dispatches messages until the quit message (result 0) or an error (result -1),
  // and returns that last result.
  virtual int run();
};

#endif  // PANELKIT_APPLICATION_H
