#pragma once

class TDatMod;

// Makes every listed terminal's own copies of the seven export tables
// (tLimitStockN, tLimitFutN, tPortfolioN, tPortfolioFutN, tLimitMoneyN,
// tQuikOrdersN, tTradesN, N its id_quik), each from its base table with the
// base table's columns as they are, for every row of tQuik, active or not,
// in the table's order.
//
// Each copy is one make-table statement run on its own through qQuikData;
// one that fails (the table is there already, the base table is missing)
// is logged as "Сообщение: <the database's message>." and the next one
// runs. Logged between an opening and a closing line, then written to the
// log file. Throws KorvinaError, having created nothing, when tQuik cannot
// be read.
void CreateTerminalTables(TDatMod &dm);
