console.log("from the store");
