#pragma once

class DataSet;

// The members of the client groups, tGroupClients: every member is a client
// of tClients. The check of a member row about to be saved: a row that
// names no client (none chosen, or a number no client has) is refused with
// the text the window shows, and stays in editing; an order for the group
// would otherwise find a member without an account.
bool tGroupClientsBeforePost(DataSet &row);
