#pragma once

namespace quorvin::server {

class Database;

// Creates every table that is missing; safe on every start.
void createSchema(Database& db);

}  // namespace quorvin::server
