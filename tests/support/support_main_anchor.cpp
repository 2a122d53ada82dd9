// Keeps the support library non-empty while a folder of tests needs none of it.
