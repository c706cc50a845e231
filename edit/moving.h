// Moving and removing marked points.
#pragma once

#include "core/outcome.h"
#include "core/workspace.h"

namespace fazorn {

enum class MoveDirection { Up, Down, Left, Right, LeftFaster, RightFaster };

Outcome moveMarkedPoints(Workspace& ws, MoveDirection direction);
Outcome removeMarkedPoints(Workspace& ws);  // "Remove marked points"

}  // namespace fazorn
