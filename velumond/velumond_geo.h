// GeoIP country table: the address ranges of the node's own country, loaded
// once at start-up, so that every remote address can be told local or not.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char *GEO_COUNTRY_PATH = "/etc/velkarn-server/country";
constexpr const char *GEO_CSV_PATH = "/var/velkarn-server/velumond/GeoIPCountryWhois.csv";
// Lines of the CSV and the country file are read in pieces of this size.
constexpr size_t GEO_LINE_MAX = 8192;

// New copy of the node country file's content; ends the process on failure.
char *geo_readcountry();
// Country, then CSV, then the tree; ends the process with status 1 on failure.
void geo_load();

// The same steps on given files. Gives 0, or -1 after the error message.
char *geo_readcountry_from(const char *path);
int geo_load_from(const char *country_path, const char *csv_path);

// 1 when the dotted IPv4 address text lies in a loaded range, else 0. The
// caller has checked the text; 255.255.255.255 is a broken invariant.
int GEO_islocal(const char *text);
// The same on a host-order address.
int GEO_islocal_addr(uint32_t addr);

// Lines counted by the last load ("%d GeoCountry loaded."), ranges kept.
unsigned GEO_count();
size_t GEO_nranges();
// Forget the table and the country (tests load several tables).
void GEO_Reset();
