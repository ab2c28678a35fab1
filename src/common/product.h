// The product's name line and web address, shown on the console and written
// into the credit lines of every output.
#ifndef QUILLFEN_COMMON_PRODUCT_H_
#define QUILLFEN_COMMON_PRODUCT_H_

#define BANNER_TEXT "QUILLFEN v1.04 by Fen - 3rd January 2008"
#define HOME_URL "https://quillfen.example/tools"

#endif  // QUILLFEN_COMMON_PRODUCT_H_
