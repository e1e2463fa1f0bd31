// Zyld::ZylApi::StoppableEndpoint: what the exit path needs of the HTTP endpoint. Stop may be
// called from any thread, any number of times.
#pragma once

namespace Zyld::ZylApi {

class StoppableEndpoint {
 public:
  virtual ~StoppableEndpoint() = default;
  virtual void Stop() = 0;
};

}  // namespace Zyld::ZylApi
