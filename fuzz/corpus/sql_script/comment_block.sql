/*
GO
*/
SELECT 1
GO
/*
still open
GO
