// Places: the list that the browser sees.
#include "bridge/places.h"

#include "bridge/bridge.h"

namespace bridge {

nlohmann::json Bridge::placesMessage() const {
  Json list = Json::array();
  for (const Place& p : places) list.push_back(Json{{"id", p.id}, {"name", p.name}});
  return Json{{"t", "places"}, {"list", std::move(list)}, {"canAdd", static_cast<bool>(platform.pickFolder)}};
}

void Bridge::sendPlaces() {
  Json message = placesMessage();
  for (auto& [id, session] : sessions)
    if (session->ready) send(*session, message);
}

// Still to come here: "list", "read", "addPlace" and "removePlace".
bool Bridge::handlePlaces(const std::shared_ptr<Session>& session, const std::string& t, const Json&) {
  if (t != "places") return false;
  send(*session, placesMessage());
  return true;
}

}  // namespace bridge
