// shopwalk: walks a marketplace's shop IDs upward and lists the shops it finds.
#include "app/application.h"

int main(int argc, char** argv) {
  shopwalk::Application app(argc, argv);
  app.SetHandlers(shopwalk::EngineHandlers(app.Ui()));
  return app.Run();
}
